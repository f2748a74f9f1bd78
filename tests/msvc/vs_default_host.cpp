// An MSVC-built host made the way Visual Studio makes one by default:
// <windows.h> first, the Unicode character set (UNICODE and _UNICODE: text
// given as wchar_t goes through the headers' wide overloads), RTTI and C++
// exceptions on (/GR /EHsc), and a C run-time whose heap is its own (here:
// global operator new and delete on a heap of the host's, as a host with a
// newer run-time has). typeid and dynamic_cast work on the objects the
// module makes; objects made with new in the host come from the class
// library's heap and go back to it through either module's destructor; the
// host's own exceptions pass the module's objects by pointer and unwind
// through their destructors.
#include <windows.h>

#include "QBSocks32.h"
#include "afxdll.h"
#include "host_checks.h"
#include "type_info.h"

namespace {

// ---- The host's own heap, behind its global operator new and delete ----

HANDLE HostHeap() {
  static HANDLE s_hHeap = HeapCreate(0, 0, 0);
  return s_hHeap;
}

int g_nHostNews = 0;
int g_nHostBlocks = 0;  // handed out by the host's operator new, not yet back

}  // namespace

void* operator new(size_t nSize) {
  ++g_nHostNews;
  ++g_nHostBlocks;
  return HeapAlloc(HostHeap(), 0, nSize != 0 ? nSize : 1);
}
void operator delete(void* p) noexcept {
  if (p == NULL) return;
  --g_nHostBlocks;
  HeapFree(HostHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

// A class of the host's own on top of the module's (at namespace scope, so
// that typeid names it plainly).
class CHostSocks : public CSocks {
 public:
  explicit CHostSocks(int* pnDestroyed = NULL) : m_pnDestroyed(pnDestroyed) {}
  ~CHostSocks() override {
    if (m_pnDestroyed != NULL) ++*m_pnDestroyed;
  }

 private:
  int* m_pnDestroyed;
};

namespace {

// ---- RTTI ----

enum Kind { kPlainSocket, kSocks, kHostSocks };

struct Subject {
  const char* lpszCase;
  Kind kind;
  bool bOnHeap;
  bool bDeleteThroughCObject;  // else through CSocket*
};

const Subject kSubjects[] = {
    {"CSocket made with new", kPlainSocket, true, false},
    {"CSocks on the stack", kSocks, false, false},
    {"CSocks made with new", kSocks, true, false},
    {"the host's class on the stack", kHostSocks, false, false},
    {"the host's class made with new", kHostSocks, true, true},
};

const char* ClassName(Kind kind) {
  return kind == kPlainSocket ? "class CSocket" : kind == kSocks ? "class CSocks" : "class CHostSocks";
}

// dynamic_cast from each of the bases a host may hold the object by.
void CheckCasts(const Subject& subject, CObject* pObject) {
  CSocket* pSocket = static_cast<CSocket*>(pObject);
  CAsyncSocket* pAsync = pSocket;
  const bool bIsSocks = subject.kind != kPlainSocket;
  const bool bIsHost = subject.kind == kHostSocks;
  host::Check((dynamic_cast<CSocks*>(pObject) != NULL) == bIsSocks, subject.lpszCase,
              "dynamic_cast<CSocks*> from CObject*");
  host::Check((dynamic_cast<CSocks*>(pSocket) != NULL) == bIsSocks, subject.lpszCase,
              "dynamic_cast<CSocks*> from CSocket*");
  host::Check((dynamic_cast<CSocks*>(pAsync) != NULL) == bIsSocks, subject.lpszCase,
              "dynamic_cast<CSocks*> from CAsyncSocket*");
  host::Check((dynamic_cast<CHostSocks*>(pObject) != NULL) == bIsHost, subject.lpszCase,
              "dynamic_cast<CHostSocks*> from CObject*");
  host::Check((dynamic_cast<CHostSocks*>(pSocket) != NULL) == bIsHost, subject.lpszCase,
              "dynamic_cast<CHostSocks*> from CSocket*");
  if (bIsSocks) {
    host::Check(dynamic_cast<CSocks*>(pAsync) == static_cast<CSocks*>(pSocket), subject.lpszCase,
                "dynamic_cast gives the object's own address");
  }
}

void CheckType(const Subject& subject, CObject* pObject) {
  host::Check(strcmp(typeid(*pObject).name(), ClassName(subject.kind)) == 0, subject.lpszCase,
              "typeid names the object's own class");
  host::Check((typeid(*pObject) == typeid(CSocks)) == (subject.kind == kSocks), subject.lpszCase,
              "typeid equals typeid(CSocks) for a CSocks only");
  CheckCasts(subject, pObject);
}

CSocket* MakeOnHeap(Kind kind) {
  if (kind == kPlainSocket) return new CSocket;
  if (kind == kSocks) return new CSocks;
  return new CHostSocks;
}

void CheckSubject(const Subject& subject) {
  if (!subject.bOnHeap) {
    CSocks socks;
    CHostSocks hostSocks;
    CheckType(subject, subject.kind == kSocks ? static_cast<CObject*>(&socks) : &hostSocks);
    return;
  }
  const int nHostNewsBefore = g_nHostNews;
  CSocket* pSocket = MakeOnHeap(subject.kind);
  host::Check(pSocket != NULL && g_nHostNews == nHostNewsBefore, subject.lpszCase,
              "new takes the class library's heap, not the host's");
  if (pSocket == NULL) return;
  host::Check(pSocket->Create() != FALSE, subject.lpszCase, "Create");
  CheckType(subject, pSocket);
  if (subject.bDeleteThroughCObject) {
    delete static_cast<CObject*>(pSocket);
  } else {
    delete pSocket;
  }
}

// ---- The class library's records, made by the module, deleted by the class library ----

void CheckRecords() {
  {
    AFX_MODULE_STATE state(TRUE);
    AFX_MANAGE_STATE(&state);
    InitSocksDLL();
    InitSocksDLL();
    host::Check(AfxGetDynLinkModules(NULL, 0, &state) == 2, "InitSocksDLL twice",
                "two records listed in the host's state");
  }  // the state deletes its records
  host::Check(g_nHostBlocks == 0, "InitSocksDLL twice", "no record in the host's heap");
}

// ---- The host's exceptions around the module's objects ----

struct CHostError {
  int nCode;
};

CHostError* volatile g_pEscaped = NULL;

// A port on 127.0.0.1 that accepts connections while listener lives.
UINT ListeningPort(CAsyncSocket& listener) {
  SOCKADDR_IN address;
  int nLength = sizeof(address);
  if (!listener.Create(0, SOCK_STREAM, FD_ACCEPT, L"127.0.0.1") || !listener.Listen() ||
      !listener.GetSockName(reinterpret_cast<SOCKADDR*>(&address), &nLength)) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// The settings: a SOCKS5 proxy on 127.0.0.1 at nPort.
void UseSocks5Proxy(UINT nPort) {
  const DWORD numbers[] = {1, nPort, 5};
  const char* const names[] = {"ProxyEnable", "SocksPort", "SocksVersion"};
  HKEY hKey = NULL;
  RegCreateKeyA(HKEY_CURRENT_USER, host::kProxyKey, &hKey);
  for (int i = 0; i < 3; ++i) {
    RegSetValueExA(hKey, names[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&numbers[i]), 4);
  }
  RegSetValueExA(hKey, "SocksServer", 0, REG_SZ, reinterpret_cast<const BYTE*>("127.0.0.1"), 10);
  RegCloseKey(hKey);
}

// A host whose OnMessagePending throws, as an MFC host throws a
// CException: during Connect's wait for the proxy's reply.
class CThrowingSocks : public CSocks {
 public:
  int TimeOut() const { return m_nTimeOut; }
  bool CallOver() const { return m_nBlockingCall == qbafx::kIdle; }

 protected:
  BOOL OnMessagePending() override { throw CHostError{3}; }
};

// The exception passes the module's waits, whose destructors run: the
// socket is left as the host had it before Connect's wait.
void CheckExceptionFromAWait() {
  CAsyncSocket proxy;  // listens and never answers: Connect waits for the reply
  const UINT nProxyPort = ListeningPort(proxy);
  UseSocks5Proxy(nProxyPort);
  CThrowingSocks socks;
  int nCode = 0;
  try {
    if (socks.Create()) socks.Connect("127.0.0.1", 80);
  } catch (const CHostError& error) {
    nCode = error.nCode;
  }
  RegDeleteKeyA(HKEY_CURRENT_USER, host::kProxyKey);
  host::Check(nCode == 3, "throw from OnMessagePending", "caught by the host");
  host::Check(!socks.IsBlocking() && socks.CallOver(), "throw from OnMessagePending",
              "no blocking call left marked on the socket");
  host::Check(socks.TimeOut() == 2000, "throw from OnMessagePending", "the pump interval restored");
  u_long on = 1;  // Winsock refuses FIONBIO while an event selection stands
  host::Check(socks.m_hSocket != INVALID_SOCKET && ioctlsocket(socks.m_hSocket, FIONBIO, &on) == 0,
              "throw from OnMessagePending", "the socket open, with no event selection left");
}

void CheckExceptions() {
  // Connect goes directly: no settings.
  RegDeleteKeyA(HKEY_CURRENT_USER, host::kProxyKey);
  CAsyncSocket listener;
  const UINT nPort = ListeningPort(listener);
  host::Check(nPort != 0, "exceptions", "a listening socket");

  // MFC's idiom: an object thrown by pointer, caught by a base's pointer.
  CHostSocks* pThrown = new CHostSocks;
  bool bCaught = false;
  try {
    if (!pThrown->Create() || !pThrown->Connect(L"127.0.0.1", nPort)) throw CHostError{1};
    throw pThrown;
  } catch (CObject* pCaught) {
    bCaught = pCaught == pThrown && dynamic_cast<CHostSocks*>(pCaught) != NULL;
    delete pCaught;
  } catch (const CHostError&) {
    delete pThrown;
  }
  host::Check(bCaught, "throw CHostSocks*", "caught as CObject*, the same object");

  // Unwinding destroys the module's objects on the way.
  int nDestroyed = 0;
  int nCode = 0;
  try {
    CHostSocks socks(&nDestroyed);
    if (socks.Create() && socks.Connect("127.0.0.1", nPort)) throw CHostError{2};
  } catch (const CHostError& error) {
    nCode = error.nCode;
  }
  host::Check(nCode == 2 && nDestroyed == 1, "throw past a connected CHostSocks",
              "caught, and the object destroyed once on the way");
}

// ---- Wide text that the ANSI code page cannot hold ----

// U+10348 (a surrogate pair) is in no ANSI code page but UTF-8: the call
// fails as untranslatable, rather than look for another address.
void CheckUntranslatableText() {
  CAsyncSocket socket;
  const BOOL bCreated = socket.Create(0, SOCK_STREAM, FD_READ, L"127.0.0.1\xD800\xDF48");
  host::Check(!bCreated && (GetACP() == CP_UTF8 || GetLastError() == ERROR_NO_UNICODE_TRANSLATION),
              "an address with U+10348", "Create fails as untranslatable");

  // A name beyond ASCII goes in its ASCII form; the wide Connect refuses it
  // before any look-up or connect, whatever the code page holds. The
  // settings send it to a SOCKS5 proxy on a port of 127.0.0.1 that is bound
  // and not listening, so that nothing leaves the machine where it is not
  // refused.
  CAsyncSocket bound;
  SOCKADDR_IN address;
  int nLength = sizeof(address);
  bound.Create(0, SOCK_STREAM, FD_READ, L"127.0.0.1");
  bound.GetSockName(reinterpret_cast<SOCKADDR*>(&address), &nLength);
  UseSocks5Proxy(ntohs(address.sin_port));
  CSocks socks;
  const BOOL bRefused = socks.Create() &&
                        !socks.Connect(
                            L"b\xFC"
                            L"cher.example",
                            80) &&
                        WSAGetLastError() == WSAEINVAL && socks.m_hSocket != INVALID_SOCKET;
  host::Check(bRefused, "a host name with U+00FC", "CSocks::Connect fails with WSAEINVAL");
  RegDeleteKeyA(HKEY_CURRENT_USER, host::kProxyKey);
}

}  // namespace

int QbMain() {
  if (!host::Check(AfxSocketInit() != FALSE, "start-up", "AfxSocketInit")) return host::Finish();

  // The host's new-expressions do reach its own heap (the pointer escapes,
  // so the allocation cannot be optimised away).
  g_pEscaped = new CHostError{0};
  host::Check(g_nHostNews == 1 && g_nHostBlocks == 1, "the host's heap", "takes the host's new");
  delete g_pEscaped;

  for (const Subject& subject : kSubjects) CheckSubject(subject);
  CheckRecords();
  CheckExceptions();
  CheckExceptionFromAWait();
  CheckUntranslatableText();
  host::Check(g_nHostBlocks == 0, "the host's heap", "holds no block after all");
  return host::Finish();
}
