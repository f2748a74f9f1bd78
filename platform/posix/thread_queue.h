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
// Wake signals. The eventfd is made only for a wait that is to sleep, and
// closed with it, so that no descriptor outlives the wait.
class SocketWait : public SocketWaitBase {
 public:
  SocketWait(SOCKET hSocket, unsigned wanted) : SocketWaitBase(hSocket), m_wanted(wanted) { SetInnermostWait(this); }
  ~SocketWait() {
    if (m_wakeFd == -1) return;
    const int savedErrno = errno;
    ::close(m_wakeFd);
    errno = savedErrno;
  }
  int Turn(int nTimeoutMs) { return sockio::WaitOrWake(m_hSocket, m_wanted, nTimeoutMs, m_wakeFd); }

  bool ArmWake() {
    if (m_wakeFd == -1) {
      const int savedErrno = errno;
      m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      errno = savedErrno;
    }
    return m_wakeFd != -1;
  }
  void Wake() {
    const int savedErrno = errno;
    const uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof(one));
    errno = savedErrno;
  }

 private:
  unsigned m_wanted;
  int m_wakeFd = -1;
};

inline void DispatchWaitingPaint() {}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H
