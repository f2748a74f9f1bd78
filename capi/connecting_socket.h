// The CSocks that the C interface connects with: CSocks itself, with a look
// at which of its steps failed. Everything here turns CSocks's outcome into
// the C interface's results and words, in one place.
#ifndef QBSOCKS_CAPI_CONNECTING_SOCKET_H
#define QBSOCKS_CAPI_CONNECTING_SOCKET_H

#include "CSocks.h"

#include <chrono>
#include <string>

namespace qbsocks_c {

class ConnectingSocket : public CSocks {
 public:
  // Reads the settings as Connect is about to read them, all but the
  // password, and names the path they choose (qbsocks_route's text), or
  // why they cannot be read.
  std::string ReadRoute();

  // After Connect: whether its settings turned the proxy on, and whether
  // the TCP connect it made (to the proxy, or to the target) succeeded.
  bool ProxyOn() const { return m_bProxyEnable != 0; }
  bool Reached() const { return reached_; }

  // Bounds the next Connect to timeoutMs from now; 0 sets no bound.
  void SetDeadline(unsigned int timeoutMs);
  // After Connect: whether it failed because the bound ran out, and the
  // reason that names the step it was waiting for.
  bool TimedOut() const { return timedOut_; }
  std::string TimeoutReason() const;
  // After Connect, with the text it reported: whether the negotiation
  // refused the target's host text before sending anything for it.
  bool RefusedTarget(const std::string& reported) const;

 protected:
  BOOL ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) override;
  // Every wait of Connect comes here, and its every turn to
  // OnMessagePending: where the bound is looked at.
  BOOL PumpMessages(UINT uStopFlag) override;
  BOOL OnMessagePending() override;

 private:
  using Clock = std::chrono::steady_clock;

  std::string DescribeRoute(unsigned nWhyOff) const;
  bool PastDeadline() const;
  BOOL FailTimedOut();

  bool reached_ = false;
  unsigned int timeoutMs_ = 0;  // 0: no bound
  Clock::time_point deadline_;
  bool timedOut_ = false;
  // What Connect waits for now; put in words only when the bound runs out,
  // so that a connect pays nothing for it.
  enum class Step { kConnecting, kReply, kSending } step_ = Step::kConnecting;
  SOCKADDR_IN address_ = {};  // the TCP connect's peer
};

// The text CSocks handed its reporting hook on this thread since the last
// call (the failing step's message), or empty when it reported none.
std::string TakeReportedText();

// A socket error in words ("connection refused"), or "socket error N".
std::string SocketErrorInWords(int error);

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_CONNECTING_SOCKET_H
