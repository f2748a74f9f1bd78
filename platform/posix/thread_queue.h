// The wait of afx/thread_queue.h on POSIX, where a thread has no message
// queue; afx/thread_queue.h includes it after the part both systems share.
#ifndef QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H
#define QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H

namespace qbafx {

class SocketWait : public SocketWaitBase {
 public:
  SocketWait(SOCKET hSocket, unsigned wanted) : SocketWaitBase(hSocket), m_wanted(wanted) { SetInnermostWait(this); }
  int Turn(int nTimeoutMs) { return sockio::Wait(m_hSocket, m_wanted, nTimeoutMs); }

 private:
  unsigned m_wanted;
};

inline void DispatchWaitingPaint() {}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_POSIX_THREAD_QUEUE_H
