// The entry of a module of the MSVC-ABI flavour, which the loader calls
// and which a C run-time would otherwise supply: constructs the module's
// globals before process attach reaches DllMain, destroys them after
// process detach (or after a process attach that failed). A module without
// a DllMain of its own gets one that accepts every call. It gives the stack
// cookie its value first, and brings the load configuration directory.
#include "msvc/crt_init.h"

#include "win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

extern "C" BOOL WINAPI QbDefaultDllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#ifdef _M_IX86  // stdcall names carry a leading _ and their argument bytes there alone
#pragma comment(linker, "/alternatename:_DllMain@12=_QbDefaultDllMain@12")
#else
#pragma comment(linker, "/alternatename:DllMain=QbDefaultDllMain")
#endif
QB_LINK_LOAD_CONFIG

// Its frame is made before the stack cookie has its value: not protected.
extern "C" __attribute__((no_stack_protector)) BOOL WINAPI _DllMainCRTStartup(HINSTANCE hInstance, DWORD dwReason,
                                                                              LPVOID lpReserved) {
  if (dwReason == DLL_PROCESS_ATTACH) {
    __security_init_cookie();
    QbRunInitializers();
  }
  const BOOL bResult = DllMain(hInstance, dwReason, lpReserved);
  if (dwReason == DLL_PROCESS_DETACH || (dwReason == DLL_PROCESS_ATTACH && !bResult)) {
    QbRunExitFunctions();
  }
  return bResult;
}
