// CSocket: MFC's blocking socket. Each blocking call tries the non-blocking
// operation of CAsyncSocket and, while that would block, waits in
// PumpMessages. A wait sleeps until the socket may be ready, the pump
// interval (m_nTimeOut) ends, a cancellation or a Close from another thread
// wakes it (SleepingWaitEntry), or, on Windows, a message arrives for the
// thread; nothing wakes it on a schedule. Host code gets its turn
// (OnMessagePending) once per wait, when the socket is not ready as the wait
// starts, and on Windows again whenever a message arrives; the thread's
// queue is looked at on every turn (see afx/thread_queue.h).
//
// Cancellation: while a blocking call runs (Send, Receive, Accept, a
// connect, a wait that PumpMessages runs on its own, or a derived class's
// call of several waits), m_nBlockingCall is kRunning. CancelBlockingCall
// turns only kRunning into kCancelRequested, so a cancel that comes while
// nothing blocks is dropped, as MFC drops it; the wait under way, woken, or
// the end of the wait or call, takes the request and ends it with WSAEINTR.
//
// Close during a blocking call (from OnMessagePending, say) turns the state
// into kSocketClosed, which ends the call with WSAENOTSOCK: the handle value
// may already name another socket (the host's next Create), and the call
// must neither report on that one nor change it.
#include "afxsock.h"

#include "afx/fail.h"
#include "afx/sockio.h"
#include "afx/sync.h"
#include "afx/thread_queue.h"

namespace sockio = qbafx::sockio;
namespace sys = qbafx::sockio::sys;

namespace {

// Longest turn of a wait that could get no wake handle: bounds how late it
// notices a cancellation or a Close from another thread.
constexpr int kUnwokenTurnMs = 20;

constexpr unsigned kAnyReadiness = sockio::kReadable | sockio::kWritable | sockio::kException;

// MFC's default pump interval.
constexpr int kDefaultTimeOutMs = 2000;

using qbafx::Fail;
using qbafx::SocketError;

// Ends the blocking call that runs, if any, as one whose socket was closed;
// true when one ran.
bool MarkSocketClosed(volatile LONG& state) {
  const LONG was = InterlockedCompareExchange(&state, qbafx::kSocketClosed, qbafx::kRunning);
  if (was == qbafx::kCancelRequested) {
    return InterlockedCompareExchange(&state, qbafx::kSocketClosed, qbafx::kCancelRequested) ==
           qbafx::kCancelRequested;
  }
  return was == qbafx::kRunning;
}

qbafx::ThreadPointer<qbafx::SocketWait> g_innermostWait;

// The waits that sleep, each listed under the blocking-call state that it
// watches, so that CancelBlockingCall and Close, from any thread, can wake
// the one that watches theirs: CSocket has no room for a handle of its own.
// Process-wide, as the threads are.
struct SleepingWait {
  volatile LONG* pState;
  qbafx::SocketWait* pWait;
  SleepingWait* pPrevious;
  SleepingWait* pNext;
};
qbafx::RecursiveLock g_sleepingLock;
SleepingWait* g_pSleeping = NULL;

// Lists a wait, from Listen until the wait ends. The state is changed
// before the wake, and the wait looks at the state before each turn, so a
// wake that comes between that look and the turn ends the turn at once.
class SleepingWaitEntry {
 public:
  SleepingWaitEntry(volatile LONG& state, qbafx::SocketWait& wait) : m_entry{&state, &wait, NULL, NULL} {}
  ~SleepingWaitEntry() {
    if (!m_bListed) return;
    qbafx::LockGuard lock(g_sleepingLock);
    if (m_entry.pNext != NULL) m_entry.pNext->pPrevious = m_entry.pPrevious;
    (m_entry.pPrevious != NULL ? m_entry.pPrevious->pNext : g_pSleeping) = m_entry.pNext;
  }
  SleepingWaitEntry(const SleepingWaitEntry&) = delete;
  SleepingWaitEntry& operator=(const SleepingWaitEntry&) = delete;

  // A wait that could get no wake handle stays unlisted.
  void Listen() {
    if (m_bListed || !m_entry.pWait->ArmWake()) return;
    qbafx::LockGuard lock(g_sleepingLock);
    m_entry.pNext = g_pSleeping;
    if (g_pSleeping != NULL) g_pSleeping->pPrevious = &m_entry;
    g_pSleeping = &m_entry;
    m_bListed = true;
  }
  bool Listed() const { return m_bListed; }

 private:
  SleepingWait m_entry;
  bool m_bListed = false;
};

// Wakes the wait that watches state, if one sleeps.
void WakeWaitOn(volatile LONG& state) {
  qbafx::LockGuard lock(g_sleepingLock);
  for (SleepingWait* pEntry = g_pSleeping; pEntry != NULL; pEntry = pEntry->pNext) {
    if (pEntry->pState == &state) pEntry->pWait->Wake();
  }
}

// Points the blocking marker at a flag of the running wait, and clears it
// again on every way out.
class BlockingMarker {
 public:
  BlockingMarker(BOOL*& slot, BOOL* pFlag) : slot_(slot) { slot_ = pFlag; }
  ~BlockingMarker() { slot_ = NULL; }
  BlockingMarker(const BlockingMarker&) = delete;
  BlockingMarker& operator=(const BlockingMarker&) = delete;

 private:
  BOOL*& slot_;
};

unsigned ReadinessFor(UINT uEvents) {
  unsigned wanted = 0;
  if (uEvents & (FD_READ | FD_ACCEPT | FD_CLOSE)) wanted |= sockio::kReadable;
  if (uEvents & (FD_WRITE | FD_CONNECT)) wanted |= sockio::kWritable;
  if (uEvents & FD_OOB) wanted |= sockio::kException;
  return wanted;
}

// Milliseconds of a wait of nTotalMs that started at dwStart still to go,
// never negative; the tick difference is unsigned, so correct across a
// wrap of the tick counter.
int MillisecondsLeft(DWORD dwStart, int nTotalMs) {
  const DWORD dwElapsed = sockio::TickCount() - dwStart;
  return dwElapsed >= static_cast<DWORD>(nTotalMs) ? 0 : nTotalMs - static_cast<int>(dwElapsed);
}

// One of CSocket's blocking calls that waits for one event between its
// attempts: MFC's rule first, then the attempt retried as one call.
template <typename Attempt, typename WaitForReadiness>
int BlockingRetry(const BOOL* pbBlocking, volatile LONG& state, Attempt attempt, WaitForReadiness wait) {
  if (!qbafx::MayBlock(pbBlocking)) return SOCKET_ERROR;
  qbafx::BlockingCall call(state);
  return qbafx::RetryWhileWouldBlock(attempt, wait);
}

// The state of a connect under way: 0 once connected, a Winsock error
// number once it has failed, -1 while it is still going on. A wait that saw
// the socket writable has told that the connect is over, so only a wait
// that ended on the pump interval alone needs getpeername to tell.
int ConnectOutcome(SOCKET hSocket, bool bSawWritable) {
  int soError = 0;
  sockio::SockLen soErrorLen = static_cast<sockio::SockLen>(sizeof(soError));
  if (sys::getsockopt(sockio::Native(hSocket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError),
                      &soErrorLen) != 0) {
    return sockio::SaveSystemError();
  }
  if (soError != 0) return sockio::WinsockNumber(soError);
  if (bSawWritable) return 0;
  sockaddr_in peer{};
  sockio::SockLen peerLen = static_cast<sockio::SockLen>(sizeof(peer));
  if (sys::getpeername(sockio::Native(hSocket), reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
    return 0;
  }
  int error = sockio::SaveSystemError();
  return error == WSAENOTCONN ? -1 : error;
}

}  // namespace

namespace qbafx {

SocketWait* InnermostWait() { return g_innermostWait.Get(); }
void SetInnermostWait(SocketWait* pWait) { g_innermostWait.Set(pWait); }

void GiveUpWaitsOn(SOCKET hSocket) {
  for (SocketWait* pWait = InnermostWait(); pWait != NULL; pWait = pWait->Outer()) {
    if (pWait->Socket() == hSocket) pWait->GiveUp();
  }
}

}  // namespace qbafx

CRuntimeClass CSocket::classCSocket = {"CSocket", sizeof(CSocket), 0xffff, &CAsyncSocket::classCAsyncSocket};

CRuntimeClass* CSocket::GetRuntimeClass() const { return &CSocket::classCSocket; }

CSocket::CSocket()
    : m_pbBlocking(NULL),
      m_nConnectError(-1),
      m_nTimeOut(kDefaultTimeOutMs),
      m_nBlockingCall(qbafx::kIdle),
      m_bSawWritable(FALSE) {}

CSocket::~CSocket() {
  if (m_hSocket != INVALID_SOCKET) CSocket::Close();
}

void CSocket::CancelBlockingCall() {
  if (InterlockedCompareExchange(&m_nBlockingCall, qbafx::kCancelRequested, qbafx::kRunning) == qbafx::kRunning) {
    WakeWaitOn(m_nBlockingCall);
  }
}

BOOL CSocket::Accept(CAsyncSocket& rConnectedSocket, SOCKADDR* lpSockAddr, int* lpSockAddrLen) {
  return BlockingRetry(
             m_pbBlocking, m_nBlockingCall,
             [&] { return CAsyncSocket::Accept(rConnectedSocket, lpSockAddr, lpSockAddrLen) ? TRUE : SOCKET_ERROR; },
             [&] { return PumpMessages(FD_ACCEPT); }) == TRUE;
}

// A wait in progress on this thread notices the closed socket on its next
// turn and ends with WSAENOTSOCK, as does the blocking call around it, even
// if another socket gets the same handle value meanwhile. Only a running
// call's state changes: a Close made while nothing blocks leaves it idle.
void CSocket::Close() {
  CAsyncSocket::Close();
  if (MarkSocketClosed(m_nBlockingCall)) WakeWaitOn(m_nBlockingCall);
}

int CSocket::Receive(void* lpBuf, int nBufLen, int nFlags) {
  return BlockingRetry(
      m_pbBlocking, m_nBlockingCall, [&] { return CAsyncSocket::Receive(lpBuf, nBufLen, nFlags); },
      [&] { return PumpMessages((nFlags & MSG_OOB) ? FD_OOB : FD_READ); });
}

int CSocket::Send(const void* lpBuf, int nBufLen, int nFlags) {
  if (!qbafx::MayBlock(m_pbBlocking)) return SOCKET_ERROR;
  qbafx::BlockingCall call(m_nBlockingCall);
  if (nBufLen < 0 || (lpBuf == NULL && nBufLen > 0)) return SocketError(WSAEFAULT);
  if (m_hSocket == INVALID_SOCKET) return SocketError(WSAENOTSOCK);
  const char* pNext = static_cast<const char*>(lpBuf);
  int nLeft = nBufLen;
  while (nLeft > 0) {
    int nSent = qbafx::RetryWhileWouldBlock([&] { return CAsyncSocket::Send(pNext, nLeft, nFlags); },
                                            [&] { return PumpMessages(FD_WRITE); });
    if (nSent == SOCKET_ERROR) return SOCKET_ERROR;
    pNext += nSent;
    nLeft -= nSent;
  }
  return nBufLen;
}

BOOL CSocket::ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) {
  if (!qbafx::MayBlock(m_pbBlocking)) return FALSE;
  qbafx::BlockingCall call(m_nBlockingCall);
  m_nConnectError = -1;
  if (CAsyncSocket::ConnectHelper(lpSockAddr, nSockAddrLen)) return TRUE;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return FALSE;
  for (;;) {
    // Cleared before every wait: a host's PumpMessages may not set it.
    m_bSawWritable = FALSE;
    if (!PumpMessages(FD_CONNECT)) return FALSE;
    // A host's own PumpMessages may have let host code close the socket.
    if (call.SocketClosed()) return Fail(WSAENOTSOCK);
    int nOutcome = ConnectOutcome(m_hSocket, m_bSawWritable != FALSE);
    if (nOutcome == 0) return TRUE;
    if (nOutcome > 0) {
      m_nConnectError = nOutcome;
      return Fail(nOutcome);
    }
  }
}

int CSocket::ReceiveFromHelper(void* lpBuf, int nBufLen, SOCKADDR* lpSockAddr, int* lpSockAddrLen, int nFlags) {
  return BlockingRetry(
      m_pbBlocking, m_nBlockingCall,
      [&] { return CAsyncSocket::ReceiveFromHelper(lpBuf, nBufLen, lpSockAddr, lpSockAddrLen, nFlags); },
      [&] { return PumpMessages(FD_READ); });
}

int CSocket::SendToHelper(const void* lpBuf, int nBufLen, const SOCKADDR* lpSockAddr, int nSockAddrLen, int nFlags) {
  return BlockingRetry(
      m_pbBlocking, m_nBlockingCall,
      [&] { return CAsyncSocket::SendToHelper(lpBuf, nBufLen, lpSockAddr, nSockAddrLen, nFlags); },
      [&] { return PumpMessages(FD_WRITE); });
}

// MFC's default: keeps the thread's windows painted during a long call.
BOOL CSocket::OnMessagePending() {
  qbafx::DispatchWaitingPaint();
  return FALSE;
}

// Host code gets its turn once per wait, before the wait first sleeps: a
// blocking call whose interval ends waits again, so OnMessagePending runs
// at every interval, and on Windows also when a message arrives.
BOOL CSocket::PumpMessages(UINT uStopFlag) {
  if (!qbafx::MayBlock(m_pbBlocking)) return FALSE;  // one wait per socket at a time
  qbafx::BlockingCall call(m_nBlockingCall);
  BOOL bBlocking = TRUE;
  BlockingMarker marker(m_pbBlocking, &bBlocking);
  const DWORD dwStart = sockio::TickCount();
  const int nTimeOutMs = m_nTimeOut > 0 ? m_nTimeOut : 0;
  // Read as a Close from another thread writes it.
  qbafx::SocketWait wait(sockio::LoadHandle(m_hSocket), ReadinessFor(uStopFlag));
  SleepingWaitEntry sleeping(m_nBlockingCall, wait);
  bool bHostHadTurn = false;
  for (;;) {
    if (call.SocketClosed()) {
      wait.Forget();
      return Fail(WSAENOTSOCK);
    }
    // Given up without the virtual Close: the call ends as if closed, so
    // that no caller touches what the handle may name now.
    if (wait.GivenUp()) {
      MarkSocketClosed(m_nBlockingCall);
      return Fail(WSAENOTSOCK);
    }
    const SOCKET hSocket = sockio::LoadHandle(m_hSocket);
    if (hSocket == INVALID_SOCKET || hSocket != wait.Socket()) return Fail(WSAENOTSOCK);
    // bBlocking is MFC's own way to end a wait, for host code that clears it.
    if (call.TakeCancel() || !bBlocking) return Fail(WSAEINTR);
    const int nLeftMs = MillisecondsLeft(dwStart, nTimeOutMs);
    if (bHostHadTurn && nLeftMs == 0) return call.Finish() ? Fail(WSAEINTR) : TRUE;
    // The first turn only looks; the rest sleep, in short turns only when
    // no wake can end them.
    int nTurnMs = bHostHadTurn ? nLeftMs : 0;
    if (!sleeping.Listed() && nTurnMs > kUnwokenTurnMs) nTurnMs = kUnwokenTurnMs;
    const int seen = wait.Turn(nTurnMs);
    if (seen < 0) {
      // A socket that is gone (another thread closed it) leaves its event
      // selection to no one: by the time the wait ends, its handle value
      // may name a new socket, whose selection is not the wait's to clear.
      if (WSAGetLastError() == WSAENOTSOCK || call.SocketClosed()) wait.Forget();
      return FALSE;
    }
    if (seen & sockio::kWritable) m_bSawWritable = TRUE;
    if (seen & kAnyReadiness) {
      // A cancel made during the last turn still ends the wait.
      return call.Finish() ? Fail(WSAEINTR) : TRUE;
    }
    if (!bHostHadTurn || (seen & qbafx::kMessageArrived)) {
      bHostHadTurn = true;
      OnMessagePending();
      // Listed before the checks that precede the first sleep.
      if (MillisecondsLeft(dwStart, nTimeOutMs) > 0) sleeping.Listen();
    }
  }
}
