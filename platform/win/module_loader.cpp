// AfxLoadLibrary and AfxFreeLibrary on Windows: the system loader runs
// DllMain and fails LoadLibrary itself; MFC serialises the calls, and so do
// we.
#include "afxdll.h"

#include "afx/sync.h"

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
