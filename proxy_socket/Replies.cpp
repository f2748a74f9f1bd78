// Reading the proxy's replies: the bounded receive under each of them
// (MyReceive), the gathering of one reply that arrives in several pieces,
// and the verdict of a reply that carries a status.
#include "CSocks.h"

#include "ConnectFacts.h"

#include "Negotiation.h"

namespace {

// Sets the pump interval for one receive and restores it on every way out,
// an exception from a host's OnMessagePending included.
class PumpInterval {
 public:
  PumpInterval(int& nTimeOut, int nInterval) : m_nTimeOut(nTimeOut), m_nSaved(nTimeOut) { m_nTimeOut = nInterval; }
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

// One receive as CSocket::Receive makes it (MFC's may-block rule, one
// blocking call across all its waits, the would-block retry), but with
// waits of one pump interval, after each of which the budget is looked at:
// it ends once something arrives, the peer closes, the wait is abandoned,
// or more than dwBudget ms have passed since dwStart. So the call may run
// over the budget by up to one pump interval.
int CSocks::ReceiveWithin(void* lpBuf, int nBufLen, int nFlags, DWORD dwStart, DWORD dwBudget) {
  if (!qbafx::MayBlock(m_pbBlocking)) return 0;  // MyReceive refuses with 0, not SOCKET_ERROR
  qbafx::BlockingCall call(m_nBlockingCall);
  PumpInterval interval(m_nTimeOut, kPumpIntervalMs);
  const auto waitWithinBudget = [&] {
    if (!PumpMessages(FD_READ)) return false;
    // Unsigned difference: correct across a wrap of the tick counter.
    if (static_cast<DWORD>(GetTickCount() - dwStart) <= dwBudget) return true;
    // Out of budget, but a cancel came first: that is what ends the call.
    // Set here, as the wait may have changed the last error (on Windows it
    // is the thread's, which host code and system calls overwrite).
    WSASetLastError(call.Finish() ? WSAEINTR : WSAEWOULDBLOCK);
    return false;
  };
  return qbafx::RetryWhileWouldBlock([&] { return CAsyncSocket::Receive(lpBuf, nBufLen, nFlags); }, waitWithinBudget);
}

// Receives into lpBuf from offset nHave until nWanted bytes are there, all
// within one budget measured from dwStart. Stops early once the byte at
// nStatusAt has arrived and differs from nStatusOk (pass -1 for no status
// byte): a failure reply may be shorter than a success reply. Never asks
// for a byte beyond nWanted, so nothing of the stream that follows is
// taken. Returns how many bytes lpBuf now holds.
int CSocks::ReceiveReply(BYTE* lpBuf, int nHave, int nWanted, DWORD dwStart, int nStatusAt, BYTE nStatusOk) {
  while (nHave < nWanted) {
    if (nStatusAt >= 0 && nHave > nStatusAt && lpBuf[nStatusAt] != nStatusOk) break;
    if (static_cast<DWORD>(GetTickCount() - dwStart) > kReplyBudgetMs) {
      qbfacts::NoteCause(qbfacts::kNoAnswer, qbfacts::kNoCode, 0);
      break;
    }
    const int nGot = ReceiveWithin(lpBuf + nHave, nWanted - nHave, 0, dwStart, kReplyBudgetMs);
    if (nGot == 0) qbfacts::NoteCause(qbfacts::kClosed, qbfacts::kNoCode, 0);
    if (nGot < 0) {
      // Out of the budget, the wait ends with WSAEWOULDBLOCK (ReceiveWithin).
      const int nError = WSAGetLastError();
      if (nError == WSAEWOULDBLOCK) qbfacts::NoteCause(qbfacts::kNoAnswer, qbfacts::kNoCode, 0);
      else qbfacts::NoteCause(qbfacts::kSystemError, qbfacts::kNoCode, nError);
    }
    if (nGot <= 0) break;
    nHave += nGot;
  }
  return nHave;
}

// The first nWanted bytes of a SOCKS4 or SOCKS5 reply, whose status says
// success when it is nOk. A refusal fails with its code's text as soon as
// the status has come (some proxies send short refusals and keep the
// connection open); a reply cut short or late, with the general text.
int CSocks::ReadStatusReply(BYTE* lpReply, int nWanted, DWORD dwStart, BYTE nOk,
                            const char* (*lpfnRefusalText)(BYTE)) {
  const int nGot = ReceiveReply(lpReply, 0, nWanted, dwStart, kReplyStatusAt, nOk);
  if (nGot > kReplyStatusAt && lpReply[kReplyStatusAt] != nOk) {
    qbfacts::NoteCause(qbfacts::kRefused, lpReply[kReplyStatusAt], 0);
    return FailNegotiation(lpfnRefusalText(lpReply[kReplyStatusAt]));
  }
  return nGot == nWanted ? 1 : FailNegotiation(kNegotiationFailure);
}
