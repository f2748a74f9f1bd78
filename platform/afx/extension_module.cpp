// Extension modules: their records (CDynLinkLibrary), the module states that
// list them, and the loader that runs a module's entry and fails the load
// when process attach fails.
//
// All records of all states sit in one list under one lock (MFC's
// CRIT_DYNLINKLIST), each tagged with its state: the lists are short, and
// termination must find a module's records in every state.
#include "afxdll.h"
#include "afxdll_testing.h"

#include "afx/sockio.h"
#include "afx/sync.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <link.h>

#include <map>
#endif

namespace sockio = qbafx::sockio;

namespace {

qbafx::RecursiveLock g_listLock;
CDynLinkLibrary* g_pFirstDLL = NULL;  // all records, most recently listed first

// The calling thread's current state; NULL: the host's own. Defined before
// the host's state, whose destructor still looks at it.
#ifdef _WIN32
qbafx::ThreadPointer<AFX_MODULE_STATE> g_currentState;
AFX_MODULE_STATE* CurrentStateOrNull() { return g_currentState.Get(); }
void SetCurrentState(AFX_MODULE_STATE* pState) { g_currentState.Set(pState); }
#else
thread_local AFX_MODULE_STATE* t_pCurrentState = NULL;
AFX_MODULE_STATE* CurrentStateOrNull() { return t_pCurrentState; }
void SetCurrentState(AFX_MODULE_STATE* pState) { t_pCurrentState = pState; }
#endif

AFX_MODULE_STATE g_appModuleState(FALSE);

volatile LONG g_nFailInitForTesting = 0;

AFX_MODULE_STATE* CurrentState() {
  AFX_MODULE_STATE* pState = CurrentStateOrNull();
  return pState != NULL ? pState : &g_appModuleState;
}

// Takes the record out of the list; the caller holds g_listLock.
void UnlinkLocked(CDynLinkLibrary* pDLL) {
  for (CDynLinkLibrary** ppLink = &g_pFirstDLL; *ppLink != NULL; ppLink = &(*ppLink)->m_pNextDLL) {
    if (*ppLink == pDLL) {
      *ppLink = pDLL->m_pNextDLL;
      pDLL->m_pNextDLL = NULL;
      return;
    }
  }
}

// Unlinks every record that the predicate picks and returns them as a
// chain, so that they can be deleted once the lock is released (a
// record's destructor takes the lock itself).
template <typename Predicate>
CDynLinkLibrary* DetachMatching(Predicate pick) {
  qbafx::LockGuard lock(g_listLock);
  CDynLinkLibrary* pDetached = NULL;
  CDynLinkLibrary** ppLink = &g_pFirstDLL;
  while (*ppLink != NULL) {
    CDynLinkLibrary* pDLL = *ppLink;
    if (pick(*pDLL)) {
      *ppLink = pDLL->m_pNextDLL;
      pDLL->m_pNextDLL = pDetached;
      pDLL->m_pModuleState = NULL;  // no longer listed
      pDetached = pDLL;
    } else {
      ppLink = &pDLL->m_pNextDLL;
    }
  }
  return pDetached;
}

void DeleteChain(CDynLinkLibrary* pDLL) {
  while (pDLL != NULL) {
    CDynLinkLibrary* pNext = pDLL->m_pNextDLL;
    pDLL->m_pNextDLL = NULL;
    delete pDLL;
    pDLL = pNext;
  }
}

}  // namespace

// ---- Module states ----

AFX_MODULE_STATE::~AFX_MODULE_STATE() {
  const AFX_MODULE_STATE* pThis = this;
  DeleteChain(DetachMatching([pThis](const CDynLinkLibrary& dll) {
    return dll.m_pModuleState == pThis;
  }));
  if (CurrentStateOrNull() == this) SetCurrentState(NULL);
}

AFX_MODULE_STATE* AfxGetModuleState() { return CurrentState(); }

AFX_MODULE_STATE* AfxGetAppModuleState() { return &g_appModuleState; }

AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* pNewState) {
  AFX_MODULE_STATE* pPrevious = CurrentState();
  SetCurrentState(pNewState == &g_appModuleState ? NULL : pNewState);
  return pPrevious;
}

// ---- Extension-module records ----

BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE hModule) {
  if (sockio::AtomicLoad(&g_nFailInitForTesting)) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return FALSE;
  }
  if (hModule == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (state.bInitialized) return TRUE;
  state.hModule = hModule;
  state.hResource = hModule;
  state.pFirstSharedClass = NULL;
  state.pFirstSharedFactory = NULL;
  state.bInitialized = TRUE;
  return TRUE;
}

void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL bAll) {
  if (!state.bInitialized) return;
  const HMODULE hModule = state.hModule;
  const AFX_MODULE_STATE* pCurrent = CurrentState();
  DeleteChain(DetachMatching([hModule, bAll, pCurrent](const CDynLinkLibrary& dll) {
    return dll.m_hModule == hModule || (bAll && dll.m_pModuleState == pCurrent);
  }));
}

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL bSystem)
    : m_hModule(state.hModule),
      m_hResource(state.hResource),
      m_pFirstSharedClass(state.pFirstSharedClass),
      m_pFirstSharedFactory(state.pFirstSharedFactory),
      m_bSystem(bSystem),
      m_pNextDLL(NULL),
      m_pModuleState(NULL) {
  List();
}

CDynLinkLibrary::CDynLinkLibrary(HINSTANCE hModule, HINSTANCE hResource)
    : m_hModule(hModule),
      m_hResource(hResource),
      m_pFirstSharedClass(NULL),
      m_pFirstSharedFactory(NULL),
      m_bSystem(FALSE),
      m_pNextDLL(NULL),
      m_pModuleState(NULL) {
  List();
}

void CDynLinkLibrary::List() {
  qbafx::LockGuard lock(g_listLock);
  m_pModuleState = CurrentState();
  m_pNextDLL = g_pFirstDLL;
  g_pFirstDLL = this;
}

CDynLinkLibrary::~CDynLinkLibrary() {
  qbafx::LockGuard lock(g_listLock);
  if (m_pModuleState != NULL) UnlinkLocked(this);
  m_pModuleState = NULL;
}

// CObject's, kept as members of their own for the hosts and modules built
// when records had a heap of their own.
void* CDynLinkLibrary::operator new(size_t nSize) noexcept { return CObject::operator new(nSize); }

void CDynLinkLibrary::operator delete(void* p) noexcept { CObject::operator delete(p); }

UINT AfxGetDynLinkModules(HMODULE* phModules, UINT nMax, AFX_MODULE_STATE* pState) {
  if (pState == NULL) pState = CurrentState();
  qbafx::LockGuard lock(g_listLock);
  UINT nListed = 0;
  for (const CDynLinkLibrary* pDLL = g_pFirstDLL; pDLL != NULL; pDLL = pDLL->m_pNextDLL) {
    if (pDLL->m_pModuleState != pState) continue;
    if (nListed < nMax && phModules != NULL) phModules[nListed] = pDLL->m_hModule;
    ++nListed;
  }
  return nListed;
}

extern "C" void QbFailExtensionModuleInitForTesting(BOOL bFail) {
  sockio::AtomicExchange(&g_nFailInitForTesting, bFail != FALSE);
}

// ---- The loader ----

#ifdef _WIN32

// The system loader runs DllMain and fails LoadLibrary itself; MFC
// serialises the calls, and so do we.
namespace {
qbafx::RecursiveLock g_loadLock;
}

HINSTANCE AfxLoadLibrary(QBAFX_LPCSTR lpszModuleName) {
  if (lpszModuleName == NULL || *lpszModuleName == '\0') {  // as on ELF systems
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  qbafx::LockGuard lock(g_loadLock);
  return LoadLibraryA(lpszModuleName);
}

BOOL AfxFreeLibrary(HINSTANCE hInstLib) {
  qbafx::LockGuard lock(g_loadLock);
  return FreeLibrary(hInstLib);
}

#else  // !_WIN32

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

#endif  // _WIN32
