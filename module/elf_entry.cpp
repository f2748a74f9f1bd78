// ELF systems have no module entry: the module's constructor plays process
// attach and its destructor process detach. A constructor cannot fail the
// load, so attach hands its result to the class library's loader
// (AfxLoadLibrary), which closes the module again when it failed.
#include "afxdll.h"

#include <dlfcn.h>

extern "C" BOOL APIENTRY DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

namespace {

const char g_anchor = 0;  // any object of this module, to find its mapping

// The address the module is mapped at: the instance handle, as on Windows.
HINSTANCE ThisModule() {
  Dl_info info;
  if (dladdr(&g_anchor, &info) == 0) return NULL;
  return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void ProcessAttach() {
  AfxReportProcessAttach(DllMain(ThisModule(), DLL_PROCESS_ATTACH, NULL));
}

__attribute__((destructor)) void ProcessDetach() { DllMain(ThisModule(), DLL_PROCESS_DETACH, NULL); }

}  // namespace
