// The bounded receive under every proxy reply, and the gathering of one
// reply that arrives in several pieces.
#include "CSocks.h"

#include "Negotiation.h"

namespace {

// Sets the pump interval for one receive and restores it on every way out,
// an exception from a host's OnMessagePending included.
class PumpInterval {
 public:
  PumpInterval(int& nTimeOut, int nInterval) : m_nTimeOut(nTimeOut), m_nSaved(nTimeOut) {
    m_nTimeOut = nInterval;
  }
  ~PumpInterval() { m_nTimeOut = m_nSaved; }
  PumpInterval(const PumpInterval&) = delete;
  PumpInterval& operator=(const PumpInterval&) = delete;

 private:
  int& m_nTimeOut;
  int m_nSaved;
};

}  // namespace

int CSocks::MyReceive(void* lpBuf, int nBufLen, int nFlags) {
  return ReceiveWithin(lpBuf, nBufLen, nFlags, GetTickCount(), kReplyBudgetMs);
}

// One receive that waits, pumping, until something arrives, the peer
// closes, the wait is abandoned, or more than dwBudget ms have passed since
// dwStart. The budget is looked at after each wait, so the call may run
// over it by up to one pump interval.
int CSocks::ReceiveWithin(void* lpBuf, int nBufLen, int nFlags, DWORD dwStart, DWORD dwBudget) {
  if (m_pbBlocking != NULL) {
    WSASetLastError(WSAEINPROGRESS);
    return 0;
  }

  // One blocking call across all its waits: a cancel that comes between
  // two of them, or late in one, still ends it.
  qbafx::BlockingCall call(m_nBlockingCall);
  PumpInterval interval(m_nTimeOut, kPumpIntervalMs);

  int nResult = CAsyncSocket::Receive(lpBuf, nBufLen, nFlags);
  while (nResult == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) break;
    if (!PumpMessages(FD_READ)) break;
    // Unsigned difference: correct across a wrap of the tick counter.
    if (static_cast<DWORD>(GetTickCount() - dwStart) > dwBudget) {
      // Out of budget, but a cancel came first: that is what ends the call.
      // Set here, as the wait may have changed the last error (on Windows
      // it is the thread's, which host code and system calls overwrite).
      WSASetLastError(call.Finish() ? WSAEINTR : WSAEWOULDBLOCK);
      break;
    }
    nResult = CAsyncSocket::Receive(lpBuf, nBufLen, nFlags);
  }

  return nResult;
}

// Receives into lpBuf from offset nHave until nWanted bytes are there, all
// within one budget measured from dwStart. Stops early once the byte at
// nStatusAt has arrived and differs from nStatusOk (pass -1 for no status
// byte): a failure reply may be shorter than a success reply. Never asks
// for a byte beyond nWanted, so nothing of the stream that follows is
// taken. Returns how many bytes lpBuf now holds.
int CSocks::ReceiveReply(BYTE* lpBuf, int nHave, int nWanted, DWORD dwStart, int nStatusAt,
                         BYTE nStatusOk) {
  while (nHave < nWanted) {
    if (nStatusAt >= 0 && nHave > nStatusAt && lpBuf[nStatusAt] != nStatusOk) break;
    if (static_cast<DWORD>(GetTickCount() - dwStart) > kReplyBudgetMs) break;
    const int nGot = ReceiveWithin(lpBuf + nHave, nWanted - nHave, 0, dwStart, kReplyBudgetMs);
    if (nGot <= 0) break;
    nHave += nGot;
  }
  return nHave;
}
