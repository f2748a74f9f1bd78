// The MFC application's own afxsock.h (MFC's, in a real project, found
// through the compiler's system include path): CObject, CAsyncSocket and
// CSocket with MFC's names and a layout of their own. Should the C
// interface's include folder hold an afxsock.h, the host would get that
// one instead, and this build would fail.
#ifndef MFC_HOST_AFXSOCK_H
#define MFC_HOST_AFXSOCK_H

#include <winsock2.h>
#include <windows.h>

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
  virtual int Send(const void* lpBuf, int nBufLen) { return send(m_hSocket, static_cast<const char*>(lpBuf), nBufLen, 0); }
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

#endif  // MFC_HOST_AFXSOCK_H
