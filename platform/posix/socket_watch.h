// The waits of afx/socket_watch.h on POSIX: epoll for many sockets, poll
// for one.
#ifndef QBSOCKS_PLATFORM_POSIX_SOCKET_WATCH_H
#define QBSOCKS_PLATFORM_POSIX_SOCKET_WATCH_H

#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace qbafx {

// epoll: one registration per watched socket, the kernel keeps the list.
class SocketWatch {
 public:
  SocketWatch() = default;
  ~SocketWatch() {
    if (m_epoll >= 0) close(m_epoll);
  }
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  bool Open(uintptr_t wake) {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    return m_epoll >= 0 && epoll_ctl(m_epoll, EPOLL_CTL_ADD, static_cast<int>(wake), &event) == 0;
  }
  bool Reserve(int) { return true; }
  // Off the epoll set before each poll: the poll may close the handle or
  // let another thread close it (a finished name lookup's), and a number
  // closed may come back as another file; nothing of this thread's is then
  // removed in its place.
  void BeforePoll(WatchedSocket* watched) { Unwatch(watched); }
  bool Watch(WatchedSocket* watched, uintptr_t socket, unsigned wanted) {
    epoll_event event = {};
    event.events = ((wanted & sockio::kReadable) ? EPOLLIN : 0u) | ((wanted & sockio::kWritable) ? EPOLLOUT : 0u);
    event.data.ptr = watched;
    const int fd = static_cast<int>(socket);
    int rc = epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    if (rc != 0 && errno == EEXIST) rc = epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
    watched->watching = rc == 0;
    watched->socket = socket;
    return rc == 0;
  }
  void Unwatch(WatchedSocket* watched) {
    if (!watched->watching) return;
    watched->watching = false;
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, static_cast<int>(watched->socket), nullptr);
  }
  template <typename Advance>
  bool WaitAndAdvance(int timeoutMs, Advance advance) {
    epoll_event events[128];
    const int count = epoll_wait(m_epoll, events, 128, timeoutMs);
    bool woken = false;
    // An owner that ends here has no other event in this batch: one
    // socket each, and its callbacks only queue (a new connect, a trigger).
    for (int i = 0; i < count; ++i) {
      if (events[i].data.ptr == nullptr) woken = true;
      else advance(static_cast<WatchedSocket*>(events[i].data.ptr)->owner);
    }
    return woken;
  }

 private:
  int m_epoll = -1;
};

inline void WaitForSocketOrWake(uintptr_t socket, unsigned wanted, uintptr_t wake, unsigned timeoutMs) {
  pollfd entries[2] = {};
  entries[0].fd = static_cast<int>(socket);
  entries[0].events = wanted == sockio::kReadable ? POLLIN : POLLOUT;
  entries[1].fd = static_cast<int>(wake);
  entries[1].events = POLLIN;
  const int timeout = timeoutMs == kNoTimeLimit ? -1
                      : timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFF
                                                : static_cast<int>(timeoutMs);
  sockio::sys::poll(entries, wake != kNoWake ? 2 : 1, timeout);  // a signal ends it early: the loop goes on
}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_POSIX_SOCKET_WATCH_H
