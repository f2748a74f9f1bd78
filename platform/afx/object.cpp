// CObject and CRuntimeClass: just enough of MFC's root class for the socket
// classes to have MFC's virtual table and run-time class information.
#include "afxsock.h"

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

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const {
  return GetRuntimeClass()->IsDerivedFrom(pClass);
}
