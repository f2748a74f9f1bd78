// A host that stands for an MFC application: its own CObject, CAsyncSocket
// and CSocket, with MFC's names and a layout of their own, and of the
// library only qbsocks.h and qbsocks.lib (qbsocks.dll built with MinGW-w64,
// as the kit ships it). It runs the C program over its cases
// (tests/module/connect_cases.txt: direct, SOCKS4, SOCKS5 with a password,
// each failure and its text), attaching each socket it gets to its own
// CSocket to exchange bytes with the echo target.
#include <afxsock.h>  // the application's own (mfc/), through the system include path
#ifndef MFC_HOST_OWN_AFXSOCK_H
#error an afxsock.h on an additional include folder came before the application's own
#endif

#include <stdlib.h>

#include "qbsocks.h"

// The application's own C run-time heap, behind its global new and delete.
void* operator new(size_t nSize) { return malloc(nSize); }
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

class CObject {
 public:
  virtual ~CObject() {}
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
  virtual int Send(const void* lpBuf, int nBufLen) {
    return send(m_hSocket, static_cast<const char*>(lpBuf), nBufLen, 0);
  }
  virtual int Receive(void* lpBuf, int nBufLen) { return recv(m_hSocket, static_cast<char*>(lpBuf), nBufLen, 0); }

  SOCKET m_hSocket = INVALID_SOCKET;
};

// Blocking, as the handed-over socket is.
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

// The socket becomes the CSocket's, which closes it when it goes.
static int AttachedEchoes(SOCKET hSocket) {
  CSocket* pSocket = new CSocket;
  const char szPing[] = "hello from an MFC application";
  char szBack[sizeof(szPing)] = {0};
  int nGot = 0;
  if (pSocket->Attach(hSocket) && pSocket->Send(szPing, sizeof(szPing)) == static_cast<int>(sizeof(szPing))) {
    for (int n = 1; nGot < static_cast<int>(sizeof(szBack)) && n > 0; nGot += n > 0 ? n : 0) {
      n = pSocket->Receive(szBack + nGot, static_cast<int>(sizeof(szBack)) - nGot);
    }
  }
  delete pSocket;
  return memcmp(szPing, szBack, sizeof(szPing)) == 0;
}

#define QBSOCKS_TEST_EXCHANGE AttachedEchoes
#define main QbMain  // this flavour's program entry (platform/msvc/exe_entry.cpp)
#include "module/c_api_test.c"
