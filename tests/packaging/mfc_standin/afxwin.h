// Stand-in for MFC's afxwin.h, which is not on this machine: the
// declarations the kit's MFC sample uses, with MFC's names and signatures,
// so that the sample is compiled (never linked) as a Unicode project.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <tchar.h>

#define afx_msg

class CStringA {
 public:
  CStringA();
  CStringA(const char* text);
  CStringA(const CStringA& other);
  ~CStringA();
  operator const char*() const;
};
class CStringW {
 public:
  CStringW();
  explicit CStringW(const CStringA& text);
  ~CStringW();
  int GetLength() const;
  operator const wchar_t*() const;
};
typedef CStringW CString;  // _UNICODE
class CW2A {
 public:
  explicit CW2A(const wchar_t* text);
  operator char*() const;
};
typedef CW2A CT2A;

class CObject {
 public:
  virtual ~CObject();
};
class CCmdTarget : public CObject {};
typedef void (CCmdTarget::*AFX_PMSG)();
struct AFX_MSGMAP_ENTRY {
  UINT nMessage, nCode, nID;
  AFX_PMSG pfn;
};

class CWnd : public CCmdTarget {
 public:
  HWND GetSafeHwnd() const;
  int GetDlgItemText(int nID, CString& rString) const;
  void SetDlgItemText(int nID, LPCTSTR lpszString);
  UINT IsDlgButtonChecked(int nIDButton) const;
};
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

 protected:
  afx_msg void OnDestroy();
};
class CWinThread : public CCmdTarget {};
typedef UINT(__cdecl* AFX_THREADPROC)(LPVOID);
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority = 0, UINT nStackSize = 0,
                           DWORD dwCreateFlags = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

// The message map, as MFC's macros check it: each handler's signature.
#define DECLARE_MESSAGE_MAP() static const AFX_MSGMAP_ENTRY* GetMessageEntries();
#define BEGIN_MESSAGE_MAP(theClass, baseClass)            \
  const AFX_MSGMAP_ENTRY* theClass::GetMessageEntries() { \
    typedef theClass ThisClass;                           \
    static const AFX_MSGMAP_ENTRY entries[] = {
#define ON_BN_CLICKED(id, memberFxn) \
  {WM_COMMAND, BN_CLICKED, id, static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(memberFxn))},
#define ON_MESSAGE(message, memberFxn) \
  {message, 0, 0, reinterpret_cast<AFX_PMSG>(static_cast<LRESULT (ThisClass::*)(WPARAM, LPARAM)>(memberFxn))},
#define ON_WM_DESTROY() \
  {WM_DESTROY, 0, 0, static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(&ThisClass::OnDestroy))},
#define END_MESSAGE_MAP() \
  { 0, 0, 0, nullptr }    \
  }                       \
  ;                       \
  return entries;         \
  }
