// CObject and CRuntimeClass: just enough of MFC's root class for the socket
// classes to have MFC's virtual table and run-time class information.
#include "afxsock.h"
#include "afx/afxdll_testing.h"

#include <stdlib.h>

namespace {
volatile LONG g_nFailAllocationForTesting = 0;
}  // namespace

CRuntimeClass CObject::classCObject = {"CObject", sizeof(CObject), 0xffff, NULL};

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
  for (const CRuntimeClass* pClass = this; pClass != NULL; pClass = pClass->m_pBaseClass) {
    if (pClass == pBaseClass) return TRUE;
  }
  return FALSE;
}

CRuntimeClass* CObject::GetRuntimeClass() const { return &CObject::classCObject; }

CObject::~CObject() {}

void CObject::Serialize(CArchive&) {}

void CObject::AssertValid() const {}

void CObject::Dump(CDumpContext&) const {}

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const { return GetRuntimeClass()->IsDerivedFrom(pClass); }

// The C run-time's heap that the class library itself uses.
void* PASCAL CObject::operator new(size_t nSize) noexcept {
  if (InterlockedCompareExchange(&g_nFailAllocationForTesting, 0, 0) != 0) return NULL;
  return malloc(nSize);
}

void* PASCAL CObject::operator new(size_t, void* p) noexcept { return p; }

void PASCAL CObject::operator delete(void* p) noexcept { free(p); }

void PASCAL CObject::operator delete(void*, void*) noexcept {}

extern "C" void QbFailDynLinkLibraryAllocationForTesting(BOOL bFail) {
  InterlockedExchange(&g_nFailAllocationForTesting, bFail != FALSE);
}
