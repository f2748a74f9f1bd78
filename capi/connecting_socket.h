// The CSocks that the C interface connects with: CSocks itself, bounded by
// the caller's time and cancel handle, with the facts that the core notes
// as it goes (ConnectFacts.h). Everything here turns CSocks's outcome into
// the C interface's results and words, in one place.
#ifndef QBSOCKS_CAPI_CONNECTING_SOCKET_H
#define QBSOCKS_CAPI_CONNECTING_SOCKET_H

#include "CSocks.h"
#include "ConnectFacts.h"
#include "qbsocks.h"
#include "reason_text.h"
#include "afx/sync.h"
#include "read_bound.h"

#include <stddef.h>

namespace qbsocks_c {

// A connect that runs with a cancel handle: a link of the handle's list,
// living on the connecting thread's stack for as long as the connect runs.
struct RunningConnect {
  CSocket* socket;
  RunningConnect* previous;
  RunningConnect* next;
};

}  // namespace qbsocks_c

// A cancel handle: triggered once and for good; the connects that run with
// it are ended through their sockets' CancelBlockingCall. Allocated with
// malloc (its operator new is noexcept: a failure gives NULL, no
// exception).
struct qbsocks_cancel {
  static void* operator new(size_t size) noexcept;
  static void operator delete(void* p) noexcept;

  volatile LONG triggered = 0;                   // 1 once triggered (Interlocked*)
  qbafx::RecursiveLock lock;                     // guards running
  qbsocks_c::RunningConnect* running = nullptr;  // the connects that use it now
};

namespace qbsocks_c {

// What a connect met, as qbsocks_outcome carries it.
struct Outcome {
  int result = QBSOCKS_OK;
  qbfacts::Step step = qbfacts::kNoStep;
  qbfacts::Cause cause = qbfacts::kNoCause;
  int proxyCode = qbfacts::kNoCode;
  LONG systemError = 0;
  Text reason;
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
  // Keeps the text CSocks handed its reporting hook (the failing step's
  // message) during this connect.
  void KeepReportedText(const char* lpszText);

 protected:
  BOOL ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) override;
  // Every wait of Connect comes here, and its every turn to
  // OnMessagePending: where the bound and the cancel are looked at.
  BOOL PumpMessages(UINT uStopFlag) override;
  BOOL OnMessagePending() override;

 private:
  // The bound on the system's millisecond count (as CSocks's own budgets),
  // by the time gone since the start, which its wrap leaves right: past it
  // once the count has gone beyond the bound, not at it, as the start was
  // read somewhere within its millisecond.
  bool PastDeadline() const { return timeoutMs_ != 0 && static_cast<DWORD>(GetTickCount() - startMs_) > timeoutMs_; }
  bool Cancelled() const;
  // Whether the bound ran out or a cancel came; notes which, once.
  bool MustEnd();
  BOOL FailEnded();
  void Describe(Outcome& outcome, int nSocketError) const;

  unsigned int timeoutMs_;
  DWORD startMs_;
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
  Text reported_;             // the last text of the reporting hook
};

// The route the settings choose now, in words, or why they cannot be read:
// what a connect would do (qbsocks_route).
Text ReadRoute();

// The settings as the proxy URL that other clients take
// (qbsocks_proxy_url): "" for direct and QBSOCKS_OK, or their reason and
// QBSOCKS_SETTINGS_UNREADABLE when they cannot be read. result is set
// only once the read has ended.
Text ReadProxyUrl(int& result);

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_CONNECTING_SOCKET_H
