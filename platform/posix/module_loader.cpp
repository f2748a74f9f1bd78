// AfxLoadLibrary and AfxFreeLibrary on ELF systems. A shared object cannot
// fail dlopen from its constructor, so the module's constructor reports a
// failed process attach (AfxReportProcessAttach) to the load in progress,
// which then closes the module again and fails, as LoadLibrary does.
#include "afxdll.h"

#include "afx/sync.h"

#include <dlfcn.h>
#include <link.h>

#include <map>

namespace {

// Held across dlopen and dlclose, so that two threads never load the same
// module at once: the second would otherwise get a module whose process
// attach failed on the first. Recursive, because a module's constructor
// may load another module.
qbafx::RecursiveLock g_loadLock;

// What AfxLoadLibrary handed out: instance handle -> dlopen handle and how
// many loads are still to be freed. Guarded by g_loadLock.
struct LoadedModule {
  void* pHandle;
  unsigned nLoads;
};
std::map<HINSTANCE, LoadedModule>& LoadedModules() {
  static std::map<HINSTANCE, LoadedModule> modules;
  return modules;
}

// The load in progress on this thread, told by the module's constructor
// whether process attach failed. Loads nest when a constructor loads.
struct PendingLoad {
  bool bAttachFailed;
  PendingLoad* pOuter;
};
thread_local PendingLoad* t_pPendingLoad = NULL;

// The address the module is mapped at, as a module finds it for itself
// with dladdr: the instance handle, as on Windows.
HINSTANCE InstanceOf(void* pHandle) {
  struct link_map* pMap = NULL;
  if (dlinfo(pHandle, RTLD_DI_LINKMAP, &pMap) != 0 || pMap == NULL) return NULL;
  Dl_info info;
  if (dladdr(pMap->l_ld, &info) == 0) return NULL;
  return static_cast<HINSTANCE>(info.dli_fbase);
}

}  // namespace

void AfxReportProcessAttach(BOOL bResult) {
  if (!bResult && t_pPendingLoad != NULL) t_pPendingLoad->bAttachFailed = true;
}

HINSTANCE AfxLoadLibrary(QBAFX_LPCSTR lpszModuleName) {
  if (lpszModuleName == NULL || *lpszModuleName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  qbafx::LockGuard lock(g_loadLock);

  PendingLoad load{false, t_pPendingLoad};
  t_pPendingLoad = &load;
  void* pHandle = dlopen(lpszModuleName, RTLD_NOW | RTLD_LOCAL);
  t_pPendingLoad = load.pOuter;

  if (pHandle == NULL) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  if (load.bAttachFailed) {
    dlclose(pHandle);  // runs the destructor: process detach, as on Windows
    SetLastError(ERROR_DLL_INIT_FAILED);
    return NULL;
  }
  HINSTANCE hInstance = InstanceOf(pHandle);
  if (hInstance == NULL) {
    dlclose(pHandle);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  LoadedModule& loaded = LoadedModules()[hInstance];
  loaded.pHandle = pHandle;
  ++loaded.nLoads;
  return hInstance;
}

BOOL AfxFreeLibrary(HINSTANCE hInstLib) {
  qbafx::LockGuard lock(g_loadLock);
  auto found = LoadedModules().find(hInstLib);
  if (found == LoadedModules().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  void* pHandle = found->second.pHandle;
  if (--found->second.nLoads == 0) LoadedModules().erase(found);
  if (dlclose(pHandle) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
