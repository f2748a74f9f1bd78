// The negotiations' I/O: the bounded receive under each reply (MyReceive),
// and the blocking calls that carry a Handshake, a reply that arrives in
// several pieces gathered within its ten seconds.
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
  return ReceiveWithin(lpBuf, nBufLen, nFlags, GetTickCount(), kReplyLimitMs);
}

// One receive as CSocket::Receive makes it (MFC's may-block rule, one
// blocking call across all its waits, the would-block retry), but with
// waits of one pump interval, after each of which the limit is looked at:
// it ends once something arrives, the peer closes, the wait is abandoned,
// or more than dwLimit ms have passed since dwStart. So the call may run
// over the limit by up to one pump interval.
int CSocks::ReceiveWithin(void* lpBuf, int nBufLen, int nFlags, DWORD dwStart, DWORD dwLimit) {
  if (!qbafx::MayBlock(m_pbBlocking)) return 0;  // MyReceive refuses with 0, not SOCKET_ERROR
  qbafx::BlockingCall call(m_nBlockingCall);
  PumpInterval interval(m_nTimeOut, kPumpIntervalMs);
  const auto waitWithinLimit = [&] {
    if (!PumpMessages(FD_READ)) return false;
    // Unsigned difference: correct across a wrap of the tick counter.
    if (static_cast<DWORD>(GetTickCount() - dwStart) <= dwLimit) return true;
    // Past the limit, but a cancel came first: that is what ends the call.
    // Set here, as the wait may have changed the last error (on Windows it
    // is the thread's, which host code and system calls overwrite).
    WSASetLastError(call.Finish() ? WSAEINTR : WSAEWOULDBLOCK);
    return false;
  };
  return qbafx::RetryWhileWouldBlock([&] { return CAsyncSocket::Receive(lpBuf, nBufLen, nFlags); }, waitWithinLimit);
}

// Sends each request whole with CSocket::Send, and reads each reply with
// receives bounded by that reply's ten seconds, which the handshake keeps.
// A wait that gives up with nothing leaves no answer.
int CSocks::RunHandshake(qbproxy::Handshake& handshake) {
  // The handshake over the blocking calls; nothing of the caller's ends it
  // early. A class of this member's, so that it may use ReceiveWithin.
  class BlockingIo final : public qbproxy::HandshakeIo {
   public:
    explicit BlockingIo(CSocks& socket) : m_socket(socket) {}
    bool SendAll(const BYTE* lpData, int nSize, LONG* lpError) override {
      if (m_socket.CSocket::Send(lpData, nSize, 0) == nSize) return true;
      *lpError = WSAGetLastError();
      return false;
    }
    int Receive(BYTE* lpBuffer, int nSize, DWORD dwStart, DWORD dwLength, LONG* lpError) override {
      const int nGot = m_socket.ReceiveWithin(lpBuffer, nSize, 0, dwStart, dwLength);
      // Out of the reply's time, the wait ends with WSAEWOULDBLOCK.
      if (nGot < 0) *lpError = WSAGetLastError();
      return nGot;
    }
    bool EndsAt(Moment, const qbproxy::Handshake&) override { return false; }

   private:
    CSocks& m_socket;
  };
  BlockingIo io(*this);
  for (;;) {
    switch (qbproxy::Drive(handshake, io)) {
      case qbproxy::Driven::kWaitReadable: handshake.Late(); break;
      case qbproxy::Driven::kWaitWritable: handshake.SendFailed(WSAEWOULDBLOCK); break;
      case qbproxy::Driven::kDone:
      case qbproxy::Driven::kEnded: return handshake.Next() == qbproxy::Handshake::Want::kDone;
    }
  }
}
