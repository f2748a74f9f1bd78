// A host that stands for an MFC application: its own CObject, CAsyncSocket
// and CSocket, with MFC's names and a layout of their own, and of the
// library only qbsocks.h and qbsocks.lib (the DLL built with MinGW-w64, as
// the kit ships it). It gets a socket connected through microsocks, attaches
// it to its CSocket and exchanges bytes with the echo target; a refused
// password gives the library's text.
#include "host_checks.h"
#include "qbsocks.h"

#include <stdlib.h>

// The application's own C run-time heap, behind its global new and delete.
void* operator new(size_t nSize) { return malloc(nSize); }
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

class CObject {
 public:
  virtual ~CObject() {}

 protected:
  DWORD m_dwTag = 0x4D464321;  // another layout than the library's CObject
};

class CAsyncSocket : public CObject {
 public:
  ~CAsyncSocket() override { Close(); }
  BOOL Attach(SOCKET hSocket) {
    if (m_hSocket != INVALID_SOCKET || hSocket == INVALID_SOCKET) return FALSE;
    m_hSocket = hSocket;
    return TRUE;
  }
  virtual void Close() {
    if (m_hSocket != INVALID_SOCKET) closesocket(m_hSocket);
    m_hSocket = INVALID_SOCKET;
  }
  virtual int Send(const void* lpBuf, int nBufLen) { return send(m_hSocket, static_cast<const char*>(lpBuf), nBufLen, 0); }
  virtual int Receive(void* lpBuf, int nBufLen) { return recv(m_hSocket, static_cast<char*>(lpBuf), nBufLen, 0); }

  SOCKET m_hSocket = INVALID_SOCKET;
};

// Blocking: what the handed-over socket must allow without further ado.
class CSocket : public CAsyncSocket {
 public:
  int Send(const void* lpBuf, int nBufLen) override {
    for (int nSent = 0; nSent < nBufLen;) {
      const int n = CAsyncSocket::Send(static_cast<const char*>(lpBuf) + nSent, nBufLen - nSent);
      if (n <= 0) return SOCKET_ERROR;
      nSent += n;
    }
    return nBufLen;
  }
};

namespace {

UINT PortFrom(const char* lpszVariable) {
  const char* lpszValue = getenv(lpszVariable);
  return lpszValue != NULL ? static_cast<UINT>(atoi(lpszValue)) : 0;
}

void WriteSettings(UINT nPort, const char* lpszUser, const char* lpszPassword) {
  HKEY hKey = NULL;
  DWORD dwNumbers[3] = {1, nPort, 5};
  RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Quillbrook\\Game\\Share\\Proxy", &hKey);
  RegSetValueExA(hKey, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwNumbers[0]), 4);
  RegSetValueExA(hKey, "SocksPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwNumbers[1]), 4);
  RegSetValueExA(hKey, "SocksVersion", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwNumbers[2]), 4);
  RegSetValueExA(hKey, "SocksServer", 0, REG_SZ, reinterpret_cast<const BYTE*>("127.0.0.1"), 10);
  RegSetValueExA(hKey, "UserName", 0, REG_SZ, reinterpret_cast<const BYTE*>(lpszUser), lstrlenA(lpszUser) + 1);
  RegSetValueExA(hKey, "Password", 0, REG_SZ, reinterpret_cast<const BYTE*>(lpszPassword),
                 lstrlenA(lpszPassword) + 1);
  RegCloseKey(hKey);
}

void ExchangesThroughMicrosocks(UINT nEchoPort) {
  WriteSettings(PortFrom("QBSOCKS_MICROSOCKS_PORT"), "", "");
  uintptr_t hSocket = QBSOCKS_NO_HANDLE;
  char szReason[128];
  const int nResult = qbsocks_connect("127.0.0.1", nEchoPort, &hSocket, szReason, sizeof(szReason));
  if (!host::Check(nResult == QBSOCKS_OK, "through microsocks", szReason)) return;
  CSocket* pSocket = new CSocket;
  host::Check(pSocket->Attach(static_cast<SOCKET>(hSocket)) != FALSE, "through microsocks", "Attach");
  const char szPing[] = "hello from an MFC application";
  char szBack[sizeof(szPing)] = {0};
  host::Check(pSocket->Send(szPing, sizeof(szPing)) == static_cast<int>(sizeof(szPing)), "through microsocks", "Send");
  int nGot = 0;
  for (int n = 1; nGot < static_cast<int>(sizeof(szBack)) && n > 0; nGot += n > 0 ? n : 0) {
    n = pSocket->Receive(szBack + nGot, static_cast<int>(sizeof(szBack)) - nGot);
  }
  host::Check(memcmp(szPing, szBack, sizeof(szPing)) == 0, "through microsocks", "the bytes came back");
  delete pSocket;  // closes the socket, which is the host's
}

void RefusedPasswordSaysWhy(UINT nEchoPort) {
  WriteSettings(PortFrom("QBSOCKS_MICROSOCKS_AUTH_PORT"), "alice", "wrong-password");
  uintptr_t hSocket = 0;
  char szReason[128];
  const int nResult = qbsocks_connect("127.0.0.1", nEchoPort, &hSocket, szReason, sizeof(szReason));
  host::Check(nResult == QBSOCKS_PROXY_FAILED && hSocket == QBSOCKS_NO_HANDLE, "refused password", "the result");
  host::Check(strcmp(szReason, "Username/password subnegotition failure") == 0, "refused password", szReason);
}

}  // namespace

int main() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const UINT nEchoPort = PortFrom("QBSOCKS_ECHO_PORT");
  ExchangesThroughMicrosocks(nEchoPort);
  RefusedPasswordSaysWhy(nEchoPort);
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Quillbrook\\Game\\Share\\Proxy");
  return host::Finish();
}
