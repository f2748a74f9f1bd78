// Extension modules: their records (CDynLinkLibrary) and the module states
// that list them. The loader that runs a module's entry and fails the load
// when process attach fails is each system's own (win/module_loader.cpp,
// posix/module_loader.cpp).
//
// All records of all states sit in one list under one lock (MFC's
// CRIT_DYNLINKLIST), each tagged with its state: the lists are short, and
// termination must find a module's records in every state.
#include "afxdll.h"
#include "afx/afxdll_testing.h"

#include "afx/sync.h"

namespace {

qbafx::RecursiveLock g_listLock;
CDynLinkLibrary* g_pFirstDLL = NULL;  // all records, most recently listed first

// The calling thread's current state; NULL: the host's own. Defined before
// the host's state, whose destructor still looks at it.
qbafx::ThreadPointer<AFX_MODULE_STATE> g_currentState;
AFX_MODULE_STATE* CurrentStateOrNull() { return g_currentState.Get(); }
void SetCurrentState(AFX_MODULE_STATE* pState) { g_currentState.Set(pState); }

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
  DeleteChain(DetachMatching([pThis](const CDynLinkLibrary& dll) { return dll.m_pModuleState == pThis; }));
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
  if (InterlockedCompareExchange(&g_nFailInitForTesting, 0, 0) != 0) {
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
  InterlockedExchange(&g_nFailInitForTesting, bFail != FALSE);
}
