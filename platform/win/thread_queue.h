// The message queue of afx/thread_queue.h on Windows, which includes it
// after the part both systems share.
#ifndef QBSOCKS_PLATFORM_WIN_THREAD_QUEUE_H
#define QBSOCKS_PLATFORM_WIN_THREAD_QUEUE_H

namespace qbafx {

// Waits of one blocking call on one socket. An event tied to the socket
// (WSAEventSelect, for the network events that the wanted readiness needs)
// and the thread's queue end a turn; Wake, from another thread, signals
// the same event. Every call keeps the last error as it was, but for a
// failed wait.
class SocketWait : public SocketWaitBase {
 public:
  SocketWait(SOCKET hSocket, unsigned wanted) : SocketWaitBase(hSocket), m_wanted(wanted) {
    SetInnermostWait(this);
    const int nSaved = WSAGetLastError();  // CreateEventA clears it
    m_hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (m_hEvent != NULL && sockio::sys::WSAEventSelect(hSocket, m_hEvent, NetworkEventsFor(wanted)) != 0) {
      CloseHandle(m_hEvent);  // the turns still end on time, and look at the socket then
      m_hEvent = NULL;
    }
    WSASetLastError(nSaved);
  }
  ~SocketWait() {
    if (m_hEvent == NULL) return;
    const int nSaved = WSAGetLastError();
    // The socket stays non-blocking. One that was closed took its tie
    // along; one given up is no longer ours to untie.
    if (m_hSocket != INVALID_SOCKET) sockio::sys::WSAEventSelect(m_hSocket, NULL, 0);
    CloseHandle(m_hEvent);
    WSASetLastError(nSaved);
  }

  bool ArmWake() { return m_hEvent != NULL; }
  void Wake() {
    const DWORD dwSaved = GetLastError();
    SetEvent(m_hEvent);
    SetLastError(dwSaved);
  }

  // One turn of at most nTimeoutMs: the readiness seen (sockio::Readiness
  // bits), kMessageArrived when a message ended it, 0 when neither came
  // (the time passed, or Wake), -1 on failure.
  int Turn(int nTimeoutMs) {
    // Readiness from before the event was tied is not always signalled.
    int seen = sockio::Wait(m_hSocket, m_wanted, 0);
    if (seen != 0 || nTimeoutMs == 0) return seen;
    const int nSaved = WSAGetLastError();
    const DWORD nHandles = m_hEvent != NULL ? 1 : 0;
    // Wakes for messages that arrived since the queue was last looked at.
    const DWORD dwWoken =
        MsgWaitForMultipleObjects(nHandles, &m_hEvent, FALSE, static_cast<DWORD>(nTimeoutMs), QS_ALLINPUT);
    seen = sockio::Wait(m_hSocket, m_wanted, 0);
    if (seen == 0) {
      // Answers the messages other threads sent to the thread's windows,
      // and makes what is queued old, so that the next turn waits for
      // newer ones; the host's own loop gets the posted ones.
      MSG msg;
      PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);
      if (dwWoken == WAIT_OBJECT_0 + nHandles) seen = static_cast<int>(kMessageArrived);
    }
    if (seen >= 0) WSASetLastError(nSaved);
    return seen;
  }

 private:
  static long NetworkEventsFor(unsigned wanted) {
    long lEvents = 0;
    if (wanted & sockio::kReadable) lEvents |= FD_READ | FD_ACCEPT | FD_CLOSE;
    if (wanted & sockio::kWritable) lEvents |= FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (wanted & sockio::kException) lEvents |= FD_OOB;
    return lEvents;
  }

  unsigned m_wanted;
  HANDLE m_hEvent;
};

// CSocket's default OnMessagePending: one waiting WM_PAINT goes to its
// window; every other message stays queued for the host's own loop.
// PeekMessage hands out the quit that PostQuitMessage left whatever its
// filter says, so the paint is only removed once a look has found it; a
// quit asked for between the two looks (by a message sent meanwhile) is
// put back.
inline void DispatchWaitingPaint() {
  const int nSaved = WSAGetLastError();
  MSG msg;
  if (PeekMessageA(&msg, NULL, WM_PAINT, WM_PAINT, PM_NOREMOVE) && msg.message == WM_PAINT &&
      PeekMessageA(&msg, NULL, WM_PAINT, WM_PAINT, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
    } else {
      DispatchMessageA(&msg);
    }
  }
  WSASetLastError(nSaved);
}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_WIN_THREAD_QUEUE_H
