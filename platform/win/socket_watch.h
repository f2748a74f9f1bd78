// The waits of afx/socket_watch.h on Windows: WSAPoll for many sockets,
// select for one.
#ifndef QBSOCKS_PLATFORM_WIN_SOCKET_WATCH_H
#define QBSOCKS_PLATFORM_WIN_SOCKET_WATCH_H

#include "afx/malloc_allocated.h"
#include "win32.h"

namespace qbafx {

// WSAPoll over one array: the wake's socket first, then each watched
// socket. Each turn costs a pass over the array, which for thousands of
// sockets is still far below the connects' own work, and it takes any
// number of sockets (select stops at FD_SETSIZE; I/O completion ports
// would need the connects' reads to be overlapped operations of ours).
// WSAPoll before Windows 10 2004 does not report a connect that failed:
// the connect's own wait ends within sockio::kLongestConnectWaitMs while
// its TCP connect goes on, and the poll then finds out.
class SocketWatch {
 public:
  SocketWatch() = default;
  ~SocketWatch() {
    free(m_polls);
    free(m_watched);
  }
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  bool Open(uintptr_t wake) {
    if (!Reserve(1)) return false;
    m_polls[0].fd = static_cast<SOCKET>(wake);
    m_polls[0].events = POLLRDNORM;
    return true;
  }
  bool Reserve(int count) {
    return ReserveArray(m_polls, m_pollCapacity, count + 1) && ReserveArray(m_watched, m_watchedCapacity, count + 1);
  }
  bool Watch(WatchedSocket* watched, uintptr_t socket, unsigned wanted) {
    if (!watched->watching) {
      watched->slot = m_count++;
      m_watched[watched->slot] = watched;
      watched->watching = true;
    }
    watched->socket = socket;
    m_polls[watched->slot].fd = static_cast<SOCKET>(socket);
    m_polls[watched->slot].events = static_cast<SHORT>(((wanted & sockio::kReadable) ? POLLRDNORM : 0) |
                                                       ((wanted & sockio::kWritable) ? POLLWRNORM : 0));
    m_polls[watched->slot].revents = 0;
    return true;
  }
  // The array is only read by WSAPoll on this thread: a handle the poll
  // closes stays in it, untouched, until Watch or Unwatch after the poll.
  void BeforePoll(WatchedSocket*) {}
  void Unwatch(WatchedSocket* watched) {
    if (!watched->watching) return;
    watched->watching = false;
    const int last = --m_count;
    if (watched->slot != last) {
      m_polls[watched->slot] = m_polls[last];
      m_watched[watched->slot] = m_watched[last];
      m_watched[watched->slot]->slot = watched->slot;
    }
  }
  template <typename Advance>
  bool WaitAndAdvance(int timeoutMs, Advance advance) {
    if (WSAPoll(m_polls, static_cast<ULONG>(m_count), timeoutMs) <= 0) return false;
    // From the end: an owner that ends moves the last one into its slot,
    // which has been looked at already.
    for (int i = m_count - 1; i >= 1; --i) {
      if (i < m_count && m_polls[i].revents != 0) {
        m_polls[i].revents = 0;
        advance(m_watched[i]->owner);
      }
    }
    return m_polls[0].revents != 0;
  }

 private:
  // Slot 0 is the wake's.
  WSAPOLLFD* m_polls = nullptr;
  WatchedSocket** m_watched = nullptr;
  int m_pollCapacity = 0;
  int m_watchedCapacity = 0;
  int m_count = 1;
};

// select rather than WSAPoll, which did not report a failed connect
// before Windows 10 2004; select does, in the exception set.
inline void WaitForSocketOrWake(uintptr_t socket, unsigned wanted, uintptr_t wake, unsigned timeoutMs) {
  fd_set readSet, writeSet, exceptSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  const SOCKET handle = static_cast<SOCKET>(socket);
  FD_SET(handle, wanted == sockio::kReadable ? &readSet : &writeSet);
  FD_SET(handle, &exceptSet);
  if (wake != kNoWake) FD_SET(static_cast<SOCKET>(wake), &readSet);
  timeval timeout = {static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
  sockio::sys::select(0, &readSet, &writeSet, &exceptSet, timeoutMs == kNoTimeLimit ? nullptr : &timeout);
}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_WIN_SOCKET_WATCH_H
