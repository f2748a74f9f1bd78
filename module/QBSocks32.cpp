// The module entry and InitSocksDLL: QBSocks32 as an extension module of
// the class library. The loader calls DllMain (on ELF systems through
// elf_entry.cpp); the class library owns every record made here.
#include "QBSocks32.h"

#include "afxdll.h"

namespace {

// Zero until process attach; only ever handed to the class library.
AFX_EXTENSION_MODULE g_extensionModule = {};

// Lists the module in the calling thread's class-library state. When the
// heap cannot supply the record, the module simply stays unlisted.
void ListWithClassLibrary() {
  CDynLinkLibrary* pListed = new CDynLinkLibrary(g_extensionModule, FALSE);
  static_cast<void>(pListed);  // owned by the class library from here on
}

}  // namespace

extern "C" BOOL APIENTRY DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*lpReserved*/) {
  switch (dwReason) {
    case DLL_PROCESS_ATTACH:
      if (!AfxInitExtensionModule(g_extensionModule, hInstance)) return 0;
      ListWithClassLibrary();
      return 1;
    case DLL_PROCESS_DETACH: AfxTermExtensionModule(g_extensionModule, FALSE); return 1;
    default:  // thread attach and detach
      return 1;
  }
}

extern "C" void InitSocksDLL(void) { ListWithClassLibrary(); }
