// The class library's extension-module support, with MFC's names and
// signatures: AFX_EXTENSION_MODULE, AfxInitExtensionModule,
// AfxTermExtensionModule, CDynLinkLibrary, the module states that hold the
// lists of CDynLinkLibrary records, and the loader AfxLoadLibrary /
// AfxFreeLibrary.
//
// An extension module keeps one AFX_EXTENSION_MODULE, initialises it when it
// is loaded and lists itself by creating a CDynLinkLibrary on the heap:
//
//   static AFX_EXTENSION_MODULE extensionDLL = {0};
//   ... process attach:
//   if (!AfxInitExtensionModule(extensionDLL, hInstance)) return 0;
//   new CDynLinkLibrary(extensionDLL);   // the class library owns it now
//   ... process detach:
//   AfxTermExtensionModule(extensionDLL);
//
// Unlike MFC, AfxTermExtensionModule deletes the module's records from every
// module state, not only from the current one, so that nothing is left
// behind (or leaked) when the module is unloaded.
#ifndef QBSOCKS_PLATFORM_AFXDLL_H
#define QBSOCKS_PLATFORM_AFXDLL_H

#include "afxsock.h"

#include <stddef.h>

class COleObjectFactory;
class CDynLinkLibrary;

// One per extension module, zero until AfxInitExtensionModule fills it.
struct AFX_EXTENSION_MODULE {
  BOOL bInitialized;
  HMODULE hModule;
  HMODULE hResource;
  CRuntimeClass* pFirstSharedClass;
  COleObjectFactory* pFirstSharedFactory;
};

// A state of the class library: the CDynLinkLibrary records listed in it.
// Every thread starts in the host's own state (AfxGetAppModuleState); a
// host, or a module that keeps a state of its own, switches the calling
// thread to another with AfxSetModuleState or AFX_MANAGE_STATE. Records
// created on that thread are then listed in that state.
//
// A state owns the records listed in it: destroying it deletes those that
// are still there.
class QBAFX_API AFX_MODULE_STATE {
 public:
  constexpr explicit AFX_MODULE_STATE(BOOL bDLL = FALSE) : m_bDLL(bDLL) {}
  ~AFX_MODULE_STATE();

  AFX_MODULE_STATE(const AFX_MODULE_STATE&) = delete;
  AFX_MODULE_STATE& operator=(const AFX_MODULE_STATE&) = delete;

  BOOL m_bDLL;  // TRUE for the state of a module, FALSE for the host's
};

// The calling thread's current state; the host's own unless switched.
QBAFX_API AFX_MODULE_STATE* AfxGetModuleState();
// The host's own state, the default of every thread.
QBAFX_API AFX_MODULE_STATE* AfxGetAppModuleState();
// Makes pNewState current on the calling thread (NULL: the host's own) and
// returns the state that was current.
QBAFX_API AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* pNewState);

// Switches the calling thread's state for the lifetime of the object.
struct AFX_MAINTAIN_STATE {
  explicit AFX_MAINTAIN_STATE(AFX_MODULE_STATE* pNewState) : m_pPrevModuleState(AfxSetModuleState(pNewState)) {}
  ~AFX_MAINTAIN_STATE() { AfxSetModuleState(m_pPrevModuleState); }
  AFX_MAINTAIN_STATE(const AFX_MAINTAIN_STATE&) = delete;
  AFX_MAINTAIN_STATE& operator=(const AFX_MAINTAIN_STATE&) = delete;

  AFX_MODULE_STATE* m_pPrevModuleState;
};

#define AFX_MANAGE_STATE(p) AFX_MAINTAIN_STATE _ctlState(p);

// Fills state for the module hModule. FALSE when the module cannot be an
// extension module (hModule NULL); the module's load must then fail.
// Initialising an initialised record again succeeds and changes nothing.
QBAFX_API BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE hModule);

// Deletes the CDynLinkLibrary records of the module, in every state; with
// bAll, also every other record of the calling thread's current state.
// Does nothing for a record that was never initialised.
QBAFX_API void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL bAll = FALSE);

// A record that lists an extension module with the class library.
// Constructing one (always with new) lists it in the calling thread's
// current state; from then on the class library owns it, and deletes it
// in AfxTermExtensionModule or with its state. Its memory comes from the
// class library's heap, so whichever module created it, the class library
// can delete it. Its operator new never throws: when the heap cannot supply
// a record, new gives NULL and nothing is constructed.
class QBAFX_API CDynLinkLibrary : public CObject {
 public:
  explicit CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL bSystem = FALSE);
  CDynLinkLibrary(HINSTANCE hModule, HINSTANCE hResource);
  ~CDynLinkLibrary() override;  // unlists the record

  static void* operator new(size_t nSize) noexcept;
  static void operator delete(void* p) noexcept;

  HMODULE m_hModule;
  HMODULE m_hResource;
  CRuntimeClass* m_pFirstSharedClass;
  COleObjectFactory* m_pFirstSharedFactory;
  BOOL m_bSystem;

  // The list links, guarded by the class library's lock: read the list
  // with AfxGetDynLinkModules, not through these.
  CDynLinkLibrary* m_pNextDLL;
  AFX_MODULE_STATE* m_pModuleState;

 private:
  void List();
};

// Copies the module handles of the records listed in pState (the calling
// thread's current state when NULL), most recently listed first, into
// phModules (at most nMax of them; phModules may be NULL when nMax is 0).
// Returns how many records are listed.
QBAFX_API UINT AfxGetDynLinkModules(HMODULE* phModules, UINT nMax, AFX_MODULE_STATE* pState = NULL);

// Loads a module as LoadLibrary does and returns its instance handle (the
// address it is mapped at). NULL on failure, with GetLastError():
// ERROR_MOD_NOT_FOUND when the module cannot be opened, ERROR_DLL_INIT_FAILED
// when its entry failed process attach (the module is closed again). Loads
// and frees are serialised, so hosts may call these from several threads.
QBAFX_API HINSTANCE AfxLoadLibrary(QBAFX_LPCSTR lpszModuleName);
#ifdef QBAFX_WIDE_OVERLOADS
// A Unicode host's module name, in the ANSI code page (win32.h).
template <class TChar>
typename qbafx::WideOnly<TChar, HINSTANCE>::Type AfxLoadLibrary(const TChar* lpszModuleName) {
  const qbafx::AnsiText name(lpszModuleName);
  return name.IsValid() ? AfxLoadLibrary(name.Text()) : NULL;
}
#endif

// Undoes one AfxLoadLibrary of the module; the last one unloads it (its
// entry's process detach runs). FALSE with ERROR_INVALID_HANDLE for a handle
// that AfxLoadLibrary did not give out (or that has been freed as often).
QBAFX_API BOOL AfxFreeLibrary(HINSTANCE hInstLib);

#ifndef _WIN32
// ELF systems: a module's constructor, which plays process attach, cannot
// fail the load itself. It hands its entry's result here, and an
// AfxLoadLibrary running on the same thread then fails the load. Outside an
// AfxLoadLibrary (a module linked to the program directly) a failure is
// not reported anywhere.
QBAFX_API void AfxReportProcessAttach(BOOL bResult);
#endif

#endif  // QBSOCKS_PLATFORM_AFXDLL_H
