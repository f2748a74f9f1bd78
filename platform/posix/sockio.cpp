// The socket hand-over of socket_handover.h, on BSD sockets.
#include "afx/sockio.h"

namespace qbafx::sockio {

bool MakeBlocking(SOCKET s) {
  int fd = Native(s);
  int statusFlags = sys::fcntl(fd, F_GETFL, 0);
  if (statusFlags == -1 || sys::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) == -1) {
    SaveSystemError();
    return false;
  }
  return true;
}

void CloseSocket(SOCKET s) {
  int savedErrno = errno;
  sys::close(Native(s));  // on Linux the descriptor is gone even after EINTR
  errno = savedErrno;
}

}  // namespace qbafx::sockio
