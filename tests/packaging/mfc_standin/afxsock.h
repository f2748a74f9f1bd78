// Stand-in for MFC's afxsock.h (see afxwin.h beside it).
#pragma once
#include <afxwin.h>

BOOL AfxSocketInit(WSADATA* lpwsaData = nullptr);
class CAsyncSocket : public CObject {
 public:
  CAsyncSocket();
  ~CAsyncSocket() override;
  BOOL Attach(SOCKET hSocket, long lEvent = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
  virtual void Close();
  virtual int Receive(void* lpBuf, int nBufLen, int nFlags = 0);
  virtual void OnReceive(int nErrorCode);
  virtual void OnConnect(int nErrorCode);
};
class CSocket : public CAsyncSocket {
 public:
  CSocket();
  ~CSocket() override;
  BOOL Attach(SOCKET hSocket);
  void Close() override;
};
