// The entry of a program of the MSVC-ABI flavour, which a C run-time would
// otherwise supply: constructs the globals, runs QbMain, destroys the
// globals, flushes the C run-time's streams and exits with QbMain's result.
#include "msvc/crt_init.h"

#include "win32.h"

// MSVCRT.DLL's (MinGW-w64's stdio.h would route stream functions through
// its static library).
extern "C" int __cdecl _flushall(void);

// The program's own main.
int QbMain();

extern "C" void __cdecl mainCRTStartup() {
  QbRunInitializers();
  const int nResult = QbMain();
  QbRunExitFunctions();
  _flushall();
  ExitProcess(static_cast<UINT>(nResult));
}
