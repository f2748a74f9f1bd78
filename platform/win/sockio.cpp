// The socket hand-over of socket_handover.h, on Winsock.
#include "afx/sockio.h"

namespace qbafx::sockio {

// Winsock refuses FIONBIO while an event selection stands, so that goes
// first.
bool MakeBlocking(SOCKET s) {
  sys::WSAEventSelect(s, NULL, 0);
  u_long off = 0;
  return sys::ioctlsocket(s, FIONBIO, &off) == 0;
}

void CloseSocket(SOCKET s) {
  int saved = WSAGetLastError();
  sys::closesocket(s);
  WSASetLastError(saved);
}

}  // namespace qbafx::sockio
