// A host that stands for an MFC application: its own CObject, CAsyncSocket
// and CSocket (mfc/afxsock.h), with MFC's names and a layout of their own,
// and of the library only qbsocks.h and qbsocks.lib (qbsocks.dll built with MinGW-w64,
// as the kit ships it). It runs the rows of the C program (direct, SOCKS4,
// SOCKS5 with a password, each failure and its text), attaching each
// socket it gets to its own CSocket to exchange bytes with the echo target.
//
// As a Visual Studio MFC project has it: afxsock.h through the system
// include path, the C interface's include folder before it.
#include <afxsock.h>

#include <stdlib.h>

#include "qbsocks.h"

// The application's own C run-time heap, behind its global new and delete.
void* operator new(size_t nSize) { return malloc(nSize); }
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

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
