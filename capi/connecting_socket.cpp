#include "connecting_socket.h"

#include "Settings.h"

#include <stdlib.h>
#include <string.h>

void* qbsocks_cancel::operator new(size_t size) noexcept { return malloc(size); }
void qbsocks_cancel::operator delete(void* p) noexcept { free(p); }

namespace qbsocks_c {

namespace {

// The connect running on each thread.
qbafx::ThreadPointer<ConnectingSocket> g_running;

// The result a failure of this step with this cause gives.
int ResultOf(qbfacts::Step step, qbfacts::Cause cause) {
  switch (cause) {
    case qbfacts::kStoreFailed: return QBSOCKS_SETTINGS_UNREADABLE;
    case qbfacts::kBadTarget: return QBSOCKS_BAD_TARGET;
    default: break;
  }
  switch (step) {
    case qbfacts::kProxyLookup:
    case qbfacts::kProxyConnect: return QBSOCKS_PROXY_UNREACHABLE;
    case qbfacts::kTargetLookup:
    case qbfacts::kTargetConnect: return QBSOCKS_TARGET_UNREACHABLE;
    default: return QBSOCKS_PROXY_FAILED;
  }
}

// Adds and removes a running connect's socket on its cancel handle.
class CancelRegistration {
 public:
  CancelRegistration(qbsocks_cancel* cancel, CSocket* socket) : cancel_(cancel), link_{socket, nullptr, nullptr} {
    if (cancel_ == nullptr) return;
    qbafx::LockGuard lock(cancel_->lock);
    link_.next = cancel_->running;
    if (link_.next != nullptr) link_.next->previous = &link_;
    cancel_->running = &link_;
  }
  ~CancelRegistration() {
    if (cancel_ == nullptr) return;
    qbafx::LockGuard lock(cancel_->lock);
    if (link_.next != nullptr) link_.next->previous = link_.previous;
    (link_.previous != nullptr ? link_.previous->next : cancel_->running) = link_.next;
  }
  CancelRegistration(const CancelRegistration&) = delete;
  CancelRegistration& operator=(const CancelRegistration&) = delete;

 private:
  qbsocks_cancel* cancel_;
  RunningConnect link_;
};

// This thread's running connect while it lives.
class RunningOnThread {
 public:
  explicit RunningOnThread(ConnectingSocket* socket) : saved_(g_running.Get()) { g_running.Set(socket); }
  ~RunningOnThread() { g_running.Set(saved_); }
  RunningOnThread(const RunningOnThread&) = delete;
  RunningOnThread& operator=(const RunningOnThread&) = delete;

 private:
  ConnectingSocket* saved_;
};

}  // namespace

ConnectingSocket::ConnectingSocket(unsigned int timeoutMs, qbsocks_cancel* cancel)
    : timeoutMs_(timeoutMs), startMs_(GetTickCount()), cancel_(cancel) {
  readBound_.pfnGiveUp = [](const void* pContext) {
    const auto* self = static_cast<const ConnectingSocket*>(pContext);
    return self->PastDeadline() || self->Cancelled();
  };
  readBound_.pContext = this;
}

ConnectingSocket::~ConnectingSocket() = default;

ConnectingSocket* ConnectingSocket::Running() { return g_running.Get(); }

void ConnectingSocket::KeepReportedText(const char* lpszText) { reported_ = lpszText; }

bool ConnectingSocket::Cancelled() const {
  return cancel_ != nullptr && InterlockedCompareExchange(&cancel_->triggered, 0, 0) != 0;
}

bool ConnectingSocket::ConnectTo(const char* lpszHost, unsigned int nPort, Outcome& outcome) {
  BOOL bConnected = FALSE;
  {
    CancelRegistration registration(cancel_, this);
    RunningOnThread running(this);
    qbplatform::ScopedReadBound bound(&readBound_);
    WSASetLastError(0);
    // A cancel that came before the connect began: nothing is opened for it.
    bConnected = MustEnd() ? FALSE : Connect(lpszHost, nPort);
  }
  if (bConnected) return true;
  // A settings read that gave up, or a wait that a trigger's
  // CancelBlockingCall ended, did so for the bound or the cancel, which no
  // look of ours may have seen yet.
  MustEnd();
  Describe(outcome, WSAGetLastError());
  return false;
}

void ConnectingSocket::NoteStep(qbfacts::Step step) {
  // A step that ran over the bound (one that nothing can cut short) is
  // seen as the next one begins: the bound ran out in it, not in the next.
  // A cancel seen there ends the step that begins: the one before it was
  // done (a request sent whole), so the cancel takes effect in this one.
  if (ended_ == Ended::kNo && step_ != qbfacts::kNoStep && MustEnd())
    endedIn_ = ended_ == Ended::kCancelled ? step : step_;
  step_ = step;
  cause_ = qbfacts::kNoCause;
  proxyCode_ = qbfacts::kNoCode;
  error_ = 0;
}

void ConnectingSocket::NoteCause(qbfacts::Cause cause, int nCode, LONG lError) {
  cause_ = cause;
  // The proxy's code only when it refused: the byte of a reply that
  // breaks the protocol (a method never offered) is not a code of its.
  proxyCode_ = cause == qbfacts::kRefused ? nCode : qbfacts::kNoCode;
  error_ = lError;
}

bool ConnectingSocket::MustEnd() {
  if (ended_ == Ended::kNo) {
    if (Cancelled()) ended_ = Ended::kCancelled;
    else if (PastDeadline()) ended_ = Ended::kTimedOut;
    else return false;
    endedIn_ = step_;
  }
  return true;
}

BOOL ConnectingSocket::FailEnded() {
  WSASetLastError(ended_ == Ended::kCancelled ? WSAEINTR : WSAETIMEDOUT);
  return FALSE;
}

// The one TCP connect of Connect: to the proxy when the settings chose it,
// else to the target. A name lookup before it cannot be cut short; the
// bound and the cancel are looked at once it is over.
BOOL ConnectingSocket::ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) {
  if (lpSockAddr != NULL && nSockAddrLen >= static_cast<int>(sizeof(address_)))
    memcpy(&address_, lpSockAddr, sizeof(address_));
  NoteStep(qbfacts::StepAfterLookup(step_));
  if (MustEnd()) return FailEnded();
  return CSocks::ConnectHelper(lpSockAddr, nSockAddrLen);
}

// A wait that starts past the bound or after a cancel fails at once; one
// that runs into either ends from OnMessagePending, within one turn.
BOOL ConnectingSocket::PumpMessages(UINT uStopFlag) {
  if (MustEnd()) return FailEnded();
  return CSocks::PumpMessages(uStopFlag);
}

BOOL ConnectingSocket::OnMessagePending() {
  if (MustEnd()) CancelBlockingCall();
  return CSocks::OnMessagePending();
}

// The facts of a failed connect, and its reason: the bound's or the
// cancel's, else the core's text, else the system's error in words.
void ConnectingSocket::Describe(Outcome& outcome, int nSocketError) const {
  const bool bGaveUpReading = cause_ == qbfacts::kStoreFailed && error_ == ERROR_OPERATION_ABORTED;
  outcome.step = step_;
  outcome.cause = cause_;
  outcome.proxyCode = proxyCode_;
  outcome.systemError = error_;
  if (ended_ != Ended::kNo &&
      (bGaveUpReading || cause_ == qbfacts::kNoCause || error_ == WSAEINTR || error_ == WSAETIMEDOUT)) {
    const bool bCancelled = ended_ == Ended::kCancelled;
    outcome.result = bCancelled ? QBSOCKS_CANCELLED : QBSOCKS_TIMED_OUT;
    outcome.step = endedIn_;
    outcome.cause = bCancelled ? qbfacts::kCancelled : qbfacts::kTimedOut;
    outcome.proxyCode = qbfacts::kNoCode;
    outcome.systemError = 0;
    outcome.reason = EndedReason(bCancelled, timeoutMs_, endedIn_, m_szSocksServer, address_);
    return;
  }
  if (outcome.systemError == 0 && cause_ == qbfacts::kNoCause) outcome.systemError = nSocketError;
  outcome.result = ResultOf(step_, cause_);
  if (!reported_.empty()) {
    outcome.reason = reported_;
  } else if (outcome.result == QBSOCKS_PROXY_UNREACHABLE) {
    outcome.reason = UnreachableReason(step_, m_szSocksServer, address_, outcome.systemError);
  } else {
    outcome.reason = SocketErrorInWords(outcome.systemError);
  }
}

Text ReadRoute() {
  qbsettings::ProxySettings settings = {};
  const LONG lUnread = qbsettings::ReadProxySettings(&settings, qbsettings::kCheckPassword);
  if (lUnread != ERROR_SUCCESS) {
    char szWhy[128];
    DescribeUnreadableSettings(lUnread, szWhy, sizeof(szWhy));
    return szWhy;
  }
  char szRoute[512];
  qbsettings::DescribeRoute(settings, szRoute, sizeof(szRoute));
  return szRoute;
}

namespace {

// RFC 3986's unreserved characters stay; every other byte is escaped, so
// that '@', ':' and '%' of a user name or password, and the bytes of
// other letters, reach the client as the library would send them.
void AppendEscaped(Text& url, const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    const unsigned char c = *p;
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    const char escaped[] = {'%', kHex[c >> 4], kHex[c & 0xF], '\0'};
    const char plain[] = {static_cast<char>(c), '\0'};
    url.Append(unreserved ? plain : escaped);
  }
}

// SOCKS5 sends names to the proxy (socks5h); SOCKS4 carries addresses
// alone and its user ID is the system's user name, not the settings'.
Text ProxyUrl(const qbsettings::ProxySettings& settings) {
  Text url;
  if (!settings.dwEnable) return url;
  url.Append(settings.dwVersion == 5 ? "socks5h://" : "socks4://");
  if (settings.dwVersion == 5 && settings.szUserName[0] != '\0') {
    AppendEscaped(url, settings.szUserName);
    url.Append(":");
    AppendEscaped(url, settings.szPassword);
    url.Append("@");
  }
  AppendEscaped(url, settings.szServer);
  url.Append(":").AppendUnsigned(settings.dwPort & 0xFFFFu);  // the bits the connect uses
  return url;
}

}  // namespace

Text ReadProxyUrl(int& result) {
  qbsettings::ProxySettings settings = {};
  const LONG lUnread = qbsettings::ReadProxySettings(&settings, qbsettings::kReadPassword);
  Text text;
  if (lUnread != ERROR_SUCCESS) {
    char szWhy[128];
    DescribeUnreadableSettings(lUnread, szWhy, sizeof(szWhy));
    text.Append(szWhy);
  } else {
    text = ProxyUrl(settings);
  }
  SecureZeroMemory(settings.szPassword, sizeof(settings.szPassword));
  result = lUnread != ERROR_SUCCESS ? QBSOCKS_SETTINGS_UNREADABLE : QBSOCKS_OK;
  return text;
}

}  // namespace qbsocks_c

// The core's notes (ConnectFacts.h), kept for the connect running on this
// thread; outside one (a host of the module's own CSocks), dropped.
namespace qbfacts {

void NoteStep(Step step) {
  if (auto* socket = qbsocks_c::ConnectingSocket::Running()) socket->NoteStep(step);
}

void NoteCause(Cause cause, int nCode, LONG lError) {
  if (auto* socket = qbsocks_c::ConnectingSocket::Running()) socket->NoteCause(cause, nCode, lError);
}

}  // namespace qbfacts
