// The wait of afx/thread_queue.h on POSIX, where a thread has no message
// queue; afx/thread_queue.h includes it after the part both systems share.
#ifndef QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H
#define QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace qbafx {

// A turn sleeps on the socket and on an eventfd of the wait's own, which
// Wake signals; one per wait, so that no descriptor outlives it.
class SocketWait : public SocketWaitBase {
 public:
  SocketWait(SOCKET hSocket, unsigned wanted)
      : SocketWaitBase(hSocket), m_wanted(wanted), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    SetInnermostWait(this);
  }
  ~SocketWait() {
    if (m_wakeFd == -1) return;
    const int savedErrno = errno;
    ::close(m_wakeFd);
    errno = savedErrno;
  }
  int Turn(int nTimeoutMs) { return sockio::WaitOrWake(m_hSocket, m_wanted, nTimeoutMs, m_wakeFd); }

  bool CanBeWoken() const { return m_wakeFd != -1; }
  void Wake() {
    const int savedErrno = errno;
    const uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof(one));
    errno = savedErrno;
  }

 private:
  unsigned m_wanted;
  int m_wakeFd;  // -1 when none could be made: the turns then stay short
};

inline void DispatchWaitingPaint() {}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H
