// How the class library's calls fail: the Winsock error number becomes the
// thread's last socket error, then the call returns its failure result
// (FALSE, or SOCKET_ERROR for the calls that return a count).
#ifndef QBSOCKS_PLATFORM_AFX_FAIL_H
#define QBSOCKS_PLATFORM_AFX_FAIL_H

#include "afx/sockio.h"

namespace qbafx {

inline BOOL Fail(int wsaError) {
  WSASetLastError(wsaError);
  return FALSE;
}

inline int SocketError(int wsaError) {
  WSASetLastError(wsaError);
  return SOCKET_ERROR;
}

// The same after a failed system call, with its error in Winsock's numbers.
inline BOOL FailWithSystemError() {
  sockio::SaveSystemError();
  return FALSE;
}

inline int SocketErrorFromSystem() {
  sockio::SaveSystemError();
  return SOCKET_ERROR;
}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_FAIL_H
