// The wait of afx/thread_queue.h on POSIX, where a thread has no message
// queue; afx/thread_queue.h includes it after the part both systems share.
#ifndef QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H
#define QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H

#include <pthread.h>
#include <sys/eventfd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace qbafx {

// The thread's wake: an eventfd made at the thread's first wait that
// sleeps and kept for every later one until the thread ends, so that a
// wait costs no descriptor of its own. Only a thread's innermost wait
// sleeps, so one wake serves them all: a wake meant for an outer wait ends
// a turn of the inner one, and the outer wait looks at its state before it
// sleeps again.
//
// m_bSignalled is set before each signal and cleared before each drain,
// so that a signal left over from an earlier wait (one that came after
// that wait's last turn) is drained before the next wait sleeps, and no
// drain is made when nothing was signalled.
class ThreadWake {
 public:
  ThreadWake() = default;
  ~ThreadWake() {
    if (m_fd == -1) return;
    const int savedErrno = errno;
    sockio::sys::close(m_fd);
    errno = savedErrno;
  }
  ThreadWake(const ThreadWake&) = delete;
  ThreadWake& operator=(const ThreadWake&) = delete;

  static ThreadWake& Current() {
    static thread_local ThreadWake wake;
    return wake;
  }

  // For a wait about to sleep, on the owning thread: false when the thread
  // could get no eventfd.
  bool Arm() {
    const int savedErrno = errno;
    if (m_fd == -1) {
      static const bool bForgottenInChild = pthread_atfork(nullptr, nullptr, &ForgetInChild) == 0;
      (void)bForgottenInChild;
      m_fd = sockio::sys::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    } else {
      Clear(false);
    }
    errno = savedErrno;
    return m_fd != -1;
  }
  int Fd() const { return m_fd; }

  // From any thread, once armed: ends the turn under way, or the next one.
  void Signal() {
    m_bSignalled.store(true);
    const int savedErrno = errno;
    const uint64_t one = 1;
    (void)!sockio::sys::write(m_fd, &one, sizeof(one));
    errno = savedErrno;
  }

  // On the owning thread, after a turn that saw the eventfd signalled
  // (bSeen), or before a wait sleeps.
  void Clear(bool bSeen) {
    if (!m_bSignalled.exchange(false) && !bSeen) return;
    const int savedErrno = errno;
    uint64_t count;
    (void)!sockio::sys::read(m_fd, &count, sizeof(count));
    errno = savedErrno;
  }

 private:
  // A forked child's thread makes a wake of its own: the copy it inherits
  // would share its count with the parent's thread.
  static void ForgetInChild() {
    ThreadWake& wake = Current();
    if (wake.m_fd == -1) return;
    sockio::sys::close(wake.m_fd);
    wake.m_fd = -1;
    wake.m_bSignalled.store(false);
  }

  int m_fd = -1;
  std::atomic<bool> m_bSignalled{false};
};

// A turn sleeps on the socket and, once the wait is armed, on the thread's
// wake, which Wake signals.
class SocketWait : public SocketWaitBase {
 public:
  SocketWait(SOCKET hSocket, unsigned wanted) : SocketWaitBase(hSocket), m_wanted(wanted) { SetInnermostWait(this); }

  int Turn(int nTimeoutMs) {
    bool bWoken = false;
    const int seen =
        sockio::WaitOrWake(m_hSocket, m_wanted, nTimeoutMs, m_pWake != nullptr ? m_pWake->Fd() : -1, bWoken);
    if (bWoken) m_pWake->Clear(true);
    return seen;
  }

  bool ArmWake() {
    if (m_pWake == nullptr && ThreadWake::Current().Arm()) m_pWake = &ThreadWake::Current();
    return m_pWake != nullptr;
  }
  void Wake() { m_pWake->Signal(); }

 private:
  unsigned m_wanted;
  ThreadWake* m_pWake = nullptr;
};

inline void DispatchWaitingPaint() {}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H
