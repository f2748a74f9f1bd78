// The entry of a program of the MSVC-ABI flavour, which a C run-time would
// otherwise supply: gives the stack cookie its value, constructs the
// globals, runs QbMain, destroys the globals, flushes the C run-time's
// streams and exits with QbMain's result. It brings the load configuration
// directory.
#include "msvc/crt_init.h"

#include "win32.h"

// MSVCRT.DLL's (MinGW-w64's stdio.h would route stream functions through
// its static library).
extern "C" int __cdecl _flushall(void);

// The program's own main.
int QbMain();

QB_LINK_LOAD_CONFIG

// Its frame is made before the stack cookie has its value: not protected.
extern "C" __attribute__((no_stack_protector)) void __cdecl mainCRTStartup() {
  __security_init_cookie();
  QbRunInitializers();
  const int nResult = QbMain();
  QbRunExitFunctions();
  _flushall();
  ExitProcess(static_cast<UINT>(nResult));
}
