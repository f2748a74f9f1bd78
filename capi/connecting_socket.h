// The CSocks that the C interface connects with: CSocks itself, bounded by
// the caller's time and cancel handle, with the facts that the core notes
// as it goes (ConnectFacts.h). Everything here turns CSocks's outcome into
// the C interface's results and words, in one place.
#ifndef QBSOCKS_CAPI_CONNECTING_SOCKET_H
#define QBSOCKS_CAPI_CONNECTING_SOCKET_H

#include "CSocks.h"
#include "ConnectFacts.h"
#include "qbsocks.h"
#include "read_bound.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

// A cancel handle: triggered once and for good; the connects that run with
// it are ended through their sockets' CancelBlockingCall.
struct qbsocks_cancel {
  std::atomic<bool> triggered{false};
  std::mutex mutex;               // guards running
  std::vector<CSocket*> running;  // the sockets of the connects that use it now
};

namespace qbsocks_c {

// What a connect met, as qbsocks_outcome carries it.
struct Outcome {
  int result = QBSOCKS_OK;
  qbfacts::Step step = qbfacts::kNoStep;
  qbfacts::Cause cause = qbfacts::kNoCause;
  int proxyCode = qbfacts::kNoCode;
  LONG systemError = 0;
  std::string reason;
};

class ConnectingSocket : public CSocks {
 public:
  // Bounded to timeoutMs from now (0: no bound), ended by cancel (or null).
  ConnectingSocket(unsigned int timeoutMs, qbsocks_cancel* cancel);
  ~ConnectingSocket() override;

  // Connects as CSocks::Connect does; on failure, what it met. The socket
  // stays this object's (Detach hands it over).
  bool ConnectTo(const char* lpszHost, unsigned int nPort, Outcome& outcome);

  // The core's notes on this thread (ConnectFacts.h) come here.
  void NoteStep(qbfacts::Step step);
  void NoteCause(qbfacts::Cause cause, int nCode, LONG lError);
  // The connect running on this thread, if any.
  static ConnectingSocket* Running();

 protected:
  BOOL ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) override;
  // Every wait of Connect comes here, and its every turn to
  // OnMessagePending: where the bound and the cancel are looked at.
  BOOL PumpMessages(UINT uStopFlag) override;
  BOOL OnMessagePending() override;

 private:
  using Clock = std::chrono::steady_clock;

  bool PastDeadline() const { return timeoutMs_ != 0 && Clock::now() >= deadline_; }
  bool Cancelled() const { return cancel_ != nullptr && cancel_->triggered.load(); }
  // Whether the bound ran out or a cancel came; notes which, once.
  bool MustEnd();
  BOOL FailEnded();
  std::string StepInWords(qbfacts::Step step) const;
  void Describe(Outcome& outcome, int nSocketError) const;

  unsigned int timeoutMs_;
  Clock::time_point deadline_;
  qbsocks_cancel* cancel_;
  qbplatform::ReadBound readBound_;
  // How the connect ended early: the bound or a cancel, and the step it
  // was in then (the one that ran over the bound, seen as the next began).
  enum class Ended { kNo, kTimedOut, kCancelled } ended_ = Ended::kNo;
  qbfacts::Step endedIn_ = qbfacts::kNoStep;
  qbfacts::Step step_ = qbfacts::kNoStep;
  qbfacts::Cause cause_ = qbfacts::kNoCause;
  int proxyCode_ = qbfacts::kNoCode;
  LONG error_ = 0;
  SOCKADDR_IN address_ = {};  // the TCP connect's peer
};

// The route the settings choose now, in words, or why they cannot be read:
// what a connect would do (qbsocks_route).
std::string ReadRoute();

// The settings as the proxy URL that other clients take
// (qbsocks_proxy_url): "" for direct and QBSOCKS_OK, or their reason and
// QBSOCKS_SETTINGS_UNREADABLE when they cannot be read.
std::string ReadProxyUrl(int& result);

// The text CSocks handed its reporting hook on this thread since the last
// call (the failing step's message), or empty when it reported none.
std::string TakeReportedText();

// A socket error in words ("connection refused"), or "socket error N".
std::string SocketErrorInWords(int error);

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_CONNECTING_SOCKET_H
