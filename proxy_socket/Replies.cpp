// The negotiations' I/O: the bounded receive under each reply (MyReceive),
// and the loop that carries a Handshake with the class library's blocking
// calls, a reply that arrives in several pieces gathered within its budget.
#include "CSocks.h"

#include "socks/Handshake.h"
#include "socks/Negotiation.h"

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

// Sends each request whole with CSocket::Send, and reads each reply with
// receives bounded by that reply's budget, from just before its first
// receive (ReplyNumber changes); the budget is looked at before each
// receive too, so a reply trickling in cannot stretch it.
int CSocks::RunHandshake(qbproxy::Handshake& handshake) {
  using Want = qbproxy::Handshake::Want;
  int nReply = 0;
  DWORD dwStart = 0;
  for (;;) {
    switch (handshake.Next()) {
      case Want::kSend: {
        const int nLength = handshake.OutputSize();
        if (CSocket::Send(handshake.Output(), nLength, 0) == nLength) handshake.Sent();
        else handshake.SendFailed(WSAGetLastError());
        break;
      }
      case Want::kUserId: {
        char szUserId[kSocks4UserIdRoom];
        ReadSocks4UserId(szUserId);
        handshake.SetUserId(szUserId);
        break;
      }
      case Want::kReceive: {
        if (handshake.ReplyNumber() != nReply) {
          nReply = handshake.ReplyNumber();
          dwStart = GetTickCount();
        }
        if (static_cast<DWORD>(GetTickCount() - dwStart) > kReplyBudgetMs) {
          handshake.Late();
          break;
        }
        const int nGot = ReceiveWithin(handshake.InputBuffer(), handshake.InputRoom(), 0, dwStart, kReplyBudgetMs);
        if (nGot > 0) {
          handshake.Received(nGot);
        } else if (nGot == 0) {
          handshake.Closed();
        } else {
          // Out of the budget, the wait ends with WSAEWOULDBLOCK (ReceiveWithin).
          const int nError = WSAGetLastError();
          if (nError == WSAEWOULDBLOCK) handshake.Late();
          else handshake.ReceiveFailed(nError);
        }
        break;
      }
      case Want::kDone: return 1;
      case Want::kFailed: return 0;
    }
  }
}
