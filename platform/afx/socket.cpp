// CSocket: MFC's blocking socket. Each blocking call tries the non-blocking
// operation of CAsyncSocket and, while that would block, waits in
// PumpMessages, which polls the socket in short slices so that a
// cancellation (CancelBlockingCall, from OnMessagePending or from another
// thread) is noticed quickly, and gives host code a turn between slices.
//
// Cancellation: CancelBlockingCall raises m_bCancelled; the next turn of a
// wait takes the flag down again and ends the wait with WSAEINTR. A new
// blocking call of this class starts with the flag down, so a cancel that
// came while nothing was blocking does not carry over into it.
#include "afxsock.h"

#include "afx/sockio.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace sockio = qbafx::sockio;

namespace {

using Clock = std::chrono::steady_clock;

// Longest single poll of a wait: bounds how late a cancellation is noticed.
constexpr int kWaitSliceMs = 20;

// MFC's default pump interval.
constexpr int kDefaultTimeOutMs = 2000;

BOOL Fail(int wsaError) {
  WSASetLastError(wsaError);
  return FALSE;
}

int SocketError(int wsaError) {
  WSASetLastError(wsaError);
  return SOCKET_ERROR;
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

// Milliseconds left until the deadline, rounded up, never negative.
int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, std::numeric_limits<int>::max()));
}

// Refuses a second blocking call on a socket that already has one running
// (MFC's rule); otherwise starts the call with no cancellation pending.
bool BeginBlockingCall(const BOOL* pbBlocking, std::atomic<BOOL>& bCancelled) {
  if (pbBlocking != NULL) {
    WSASetLastError(WSAEINPROGRESS);
    return false;
  }
  bCancelled.store(FALSE);
  return true;
}

// Runs a non-blocking attempt until it stops reporting WSAEWOULDBLOCK,
// waiting between attempts; SOCKET_ERROR when an attempt fails otherwise
// or a wait is abandoned.
template <typename Attempt, typename WaitForReadiness>
int RetryWhileWouldBlock(Attempt attempt, WaitForReadiness wait) {
  for (;;) {
    int nResult = attempt();
    if (nResult != SOCKET_ERROR) return nResult;
    if (WSAGetLastError() != WSAEWOULDBLOCK || !wait()) return SOCKET_ERROR;
  }
}

// The state of a connect under way: 0 once connected, a Winsock error
// number once it has failed, -1 while it is still going on.
int ConnectOutcome(SOCKET hSocket) {
  int soError = 0;
  sockio::SockLen soErrorLen = static_cast<sockio::SockLen>(sizeof(soError));
  if (getsockopt(sockio::Native(hSocket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError),
                 &soErrorLen) != 0) {
    return sockio::SaveSystemError();
  }
  if (soError != 0) return sockio::WinsockNumber(soError);
  sockaddr_in peer{};
  sockio::SockLen peerLen = static_cast<sockio::SockLen>(sizeof(peer));
  if (getpeername(sockio::Native(hSocket), reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
    return 0;
  }
  int error = sockio::SaveSystemError();
  return error == WSAENOTCONN ? -1 : error;
}

}  // namespace

CRuntimeClass CSocket::classCSocket = {"CSocket", sizeof(CSocket), 0xffff,
                                       &CAsyncSocket::classCAsyncSocket};

CRuntimeClass* CSocket::GetRuntimeClass() const { return &CSocket::classCSocket; }

CSocket::CSocket()
    : m_pbBlocking(NULL), m_nConnectError(-1), m_nTimeOut(kDefaultTimeOutMs), m_bCancelled(FALSE) {}

CSocket::~CSocket() {
  if (m_hSocket != INVALID_SOCKET) CSocket::Close();
}

void CSocket::CancelBlockingCall() { m_bCancelled.store(TRUE); }

BOOL CSocket::Accept(CAsyncSocket& rConnectedSocket, SOCKADDR* lpSockAddr, int* lpSockAddrLen) {
  if (!BeginBlockingCall(m_pbBlocking, m_bCancelled)) return FALSE;
  return RetryWhileWouldBlock(
             [&] {
               return CAsyncSocket::Accept(rConnectedSocket, lpSockAddr, lpSockAddrLen)
                          ? TRUE
                          : SOCKET_ERROR;
             },
             [&] { return PumpMessages(FD_ACCEPT); }) == TRUE;
}

// A wait in progress on this thread notices the closed socket on its next
// turn and ends with WSAENOTSOCK.
void CSocket::Close() { CAsyncSocket::Close(); }

int CSocket::Receive(void* lpBuf, int nBufLen, int nFlags) {
  if (!BeginBlockingCall(m_pbBlocking, m_bCancelled)) return SOCKET_ERROR;
  return RetryWhileWouldBlock([&] { return CAsyncSocket::Receive(lpBuf, nBufLen, nFlags); },
                              [&] { return PumpMessages((nFlags & MSG_OOB) ? FD_OOB : FD_READ); });
}

int CSocket::Send(const void* lpBuf, int nBufLen, int nFlags) {
  if (!BeginBlockingCall(m_pbBlocking, m_bCancelled)) return SOCKET_ERROR;
  if (nBufLen < 0 || (lpBuf == NULL && nBufLen > 0)) return SocketError(WSAEFAULT);
  if (m_hSocket == INVALID_SOCKET) return SocketError(WSAENOTSOCK);
  const char* pNext = static_cast<const char*>(lpBuf);
  int nLeft = nBufLen;
  while (nLeft > 0) {
    int nSent = RetryWhileWouldBlock([&] { return CAsyncSocket::Send(pNext, nLeft, nFlags); },
                                     [&] { return PumpMessages(FD_WRITE); });
    if (nSent == SOCKET_ERROR) return SOCKET_ERROR;
    pNext += nSent;
    nLeft -= nSent;
  }
  return nBufLen;
}

BOOL CSocket::ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) {
  if (!BeginBlockingCall(m_pbBlocking, m_bCancelled)) return FALSE;
  m_nConnectError = -1;
  if (CAsyncSocket::ConnectHelper(lpSockAddr, nSockAddrLen)) return TRUE;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return FALSE;
  for (;;) {
    if (!PumpMessages(FD_CONNECT)) return FALSE;
    int nOutcome = ConnectOutcome(m_hSocket);
    if (nOutcome == 0) return TRUE;
    if (nOutcome > 0) {
      m_nConnectError = nOutcome;
      return Fail(nOutcome);
    }
  }
}

int CSocket::ReceiveFromHelper(void* lpBuf, int nBufLen, SOCKADDR* lpSockAddr, int* lpSockAddrLen,
                               int nFlags) {
  if (!BeginBlockingCall(m_pbBlocking, m_bCancelled)) return SOCKET_ERROR;
  return RetryWhileWouldBlock(
      [&] {
        return CAsyncSocket::ReceiveFromHelper(lpBuf, nBufLen, lpSockAddr, lpSockAddrLen, nFlags);
      },
      [&] { return PumpMessages(FD_READ); });
}

int CSocket::SendToHelper(const void* lpBuf, int nBufLen, const SOCKADDR* lpSockAddr,
                          int nSockAddrLen, int nFlags) {
  if (!BeginBlockingCall(m_pbBlocking, m_bCancelled)) return SOCKET_ERROR;
  return RetryWhileWouldBlock(
      [&] {
        return CAsyncSocket::SendToHelper(lpBuf, nBufLen, lpSockAddr, nSockAddrLen, nFlags);
      },
      [&] { return PumpMessages(FD_WRITE); });
}

BOOL CSocket::OnMessagePending() { return FALSE; }

BOOL CSocket::PumpMessages(UINT uStopFlag) {
  if (m_pbBlocking != NULL) return Fail(WSAEINPROGRESS);  // one wait per socket at a time
  BOOL bBlocking = TRUE;
  BlockingMarker marker(m_pbBlocking, &bBlocking);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(m_nTimeOut, 0));
  const unsigned wanted = ReadinessFor(uStopFlag);
  for (;;) {
    // bBlocking is MFC's own way to end a wait, for host code that clears it.
    if (m_bCancelled.exchange(FALSE) || !bBlocking) return Fail(WSAEINTR);
    if (m_hSocket == INVALID_SOCKET) return Fail(WSAENOTSOCK);
    int seen = sockio::Wait(m_hSocket, wanted, std::min(MillisecondsUntil(deadline), kWaitSliceMs));
    if (seen < 0) return FALSE;
    if (seen > 0 || Clock::now() >= deadline) return TRUE;
    OnMessagePending();
  }
}
