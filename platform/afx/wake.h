// A handle that one thread sleeps on and any other makes readable: an
// eventfd on Linux, a loopback UDP socket on Windows (so that WSAPoll and
// select take it beside the connects' sockets). For a wait that must end
// at once on a cancel, a finished name lookup, or a new connect for the
// library's thread, without waking up to look for one. Each system's
// part (win/wake.cpp, posix/wake.cpp) defines the members.
#ifndef QBSOCKS_PLATFORM_AFX_WAKE_H
#define QBSOCKS_PLATFORM_AFX_WAKE_H

#include <stdint.h>

namespace qbafx {

class Wake {
 public:
  Wake() = default;
  ~Wake();  // closes it
  Wake(const Wake&) = delete;
  Wake& operator=(const Wake&) = delete;

  // False when the system gives none (WSAGetLastError says why).
  bool Open();
  // From any thread, any number of times: the handle reads as readable
  // until Clear.
  void Signal();
  void Clear();
  // What to watch for readable: a descriptor, or on Windows a SOCKET.
  uintptr_t Handle() const { return handle_; }

 private:
  uintptr_t handle_ = ~static_cast<uintptr_t>(0);
};

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_WAKE_H
