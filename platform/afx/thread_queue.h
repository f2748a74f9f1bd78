// The calling thread's message queue, as the wait of a blocking socket sees
// it. On Windows a turn of the wait also ends when a message arrives for the
// thread, and every turn looks at the queue, so that the thread's windows
// keep answering while it blocks (Windows calls a window whose thread has
// not looked at its queue for five seconds hung). Elsewhere there is no
// queue: a turn waits on the socket alone. This file holds what both
// systems share and declares what each system's part (win/thread_queue.h,
// posix/thread_queue.h) gives; the checks at its end hold it to that:
//
// SocketWait: a SocketWaitBase made with (SOCKET, unsigned wanted
//   Readiness bits), the innermost wait of its thread while it lives.
//   Turn(nTimeoutMs) waits once, at most nTimeoutMs: the Readiness seen,
//   or kMessageArrived when a message for the thread ended it (Windows),
//   0 when neither came, -1 on failure. ArmWake(), called only for a wait
//   that is to sleep, readies it to be woken: false when it could get no
//   handle for that. Wake(), from any thread once armed, ends the turn
//   under way, or else the next one, at once.
// DispatchWaitingPaint(): CSocket's default OnMessagePending; hands one
//   waiting WM_PAINT to its window, and leaves every other message queued.
#ifndef QBSOCKS_PLATFORM_AFX_THREAD_QUEUE_H
#define QBSOCKS_PLATFORM_AFX_THREAD_QUEUE_H

#include "afx/sockio.h"

namespace qbafx {

class SocketWait;

// What a turn reports beside the sockio::Readiness bits.
constexpr unsigned kMessageArrived = 8u;

// The waits running on this thread, innermost first (socket.cpp). A socket
// given up under them without CSocket::Close (a qualified
// CAsyncSocket::Close, Detach), from OnMessagePending say, is given up by
// the waits on it too, before its handle value can come back for another
// socket, which the waits must leave alone.
SocketWait* InnermostWait();
void SetInnermostWait(SocketWait* pWait);
void GiveUpWaitsOn(SOCKET hSocket);

// What both systems' waits share: their socket and their place in the list.
class SocketWaitBase {
 public:
  SOCKET Socket() const { return m_hSocket; }
  SocketWait* Outer() const { return m_pOuter; }

  // The socket was closed during the wait: its handle value may name
  // another socket by now, which the wait must leave as it is.
  void Forget() { m_hSocket = INVALID_SOCKET; }
  // The same, for a socket given up without CSocket::Close.
  void GiveUp() {
    Forget();
    m_bGivenUp = true;
  }
  bool GivenUp() const { return m_bGivenUp; }

 protected:
  explicit SocketWaitBase(SOCKET hSocket) : m_hSocket(hSocket), m_pOuter(InnermostWait()) {}
  ~SocketWaitBase() { SetInnermostWait(m_pOuter); }
  SocketWaitBase(const SocketWaitBase&) = delete;
  SocketWaitBase& operator=(const SocketWaitBase&) = delete;

  SOCKET m_hSocket;

 private:
  SocketWait* m_pOuter;
  bool m_bGivenUp = false;
};

}  // namespace qbafx

#ifdef _WIN32
#include "win/thread_queue.h"
#else
#include "posix/thread_queue.h"
#endif

namespace qbafx {

namespace declared {
using Turn = int (SocketWait::*)(int nTimeoutMs);
using Wake = void (SocketWait::*)();
using ArmWake = bool (SocketWait::*)();
using DispatchWaitingPaint = void();
}  // namespace declared

static_assert(
    provides::Same<decltype(static_cast<SocketWaitBase*>(static_cast<SocketWait*>(NULL))), SocketWaitBase*>::value &&
        sizeof(SocketWait(INVALID_SOCKET, 0u)) != 0,
    "SocketWait: the system's definition differs from its declaration in " __FILE__);
QBAFX_PROVIDES_MEMBER(SocketWait, Turn);
QBAFX_PROVIDES_MEMBER(SocketWait, Wake);
QBAFX_PROVIDES_MEMBER(SocketWait, ArmWake);
QBAFX_PROVIDES(qbafx, DispatchWaitingPaint);

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_THREAD_QUEUE_H
