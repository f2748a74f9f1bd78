#include "connecting_socket.h"

#include "Settings.h"

#include <string.h>

#include <algorithm>
#include <utility>

namespace qbsocks_c {

namespace {

thread_local ConnectingSocket* t_pRunning = nullptr;

// " 10.0.0.5:1080" of an IPv4 socket address (nothing before one is known).
std::string AddressText(const SOCKADDR_IN& address) {
  if (address.sin_family != AF_INET) return "";
  const unsigned char* lpBytes = reinterpret_cast<const unsigned char*>(&address.sin_addr);
  std::string text = " ";
  for (int i = 0; i < 4; ++i) text += std::to_string(lpBytes[i]) + (i < 3 ? "." : ":");
  return text + std::to_string(ntohs(address.sin_port));
}

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
  CancelRegistration(qbsocks_cancel* cancel, CSocket* socket) : cancel_(cancel), socket_(socket) {
    if (cancel_ == nullptr) return;
    std::lock_guard<std::mutex> lock(cancel_->mutex);
    cancel_->running.push_back(socket_);
  }
  ~CancelRegistration() {
    if (cancel_ == nullptr) return;
    std::lock_guard<std::mutex> lock(cancel_->mutex);
    auto& running = cancel_->running;
    running.erase(std::find(running.begin(), running.end(), socket_));
  }
  CancelRegistration(const CancelRegistration&) = delete;
  CancelRegistration& operator=(const CancelRegistration&) = delete;

 private:
  qbsocks_cancel* cancel_;
  CSocket* socket_;
};

// This thread's running connect while it lives.
class RunningOnThread {
 public:
  explicit RunningOnThread(ConnectingSocket* socket) : saved_(std::exchange(t_pRunning, socket)) {}
  ~RunningOnThread() { t_pRunning = saved_; }
  RunningOnThread(const RunningOnThread&) = delete;
  RunningOnThread& operator=(const RunningOnThread&) = delete;

 private:
  ConnectingSocket* saved_;
};

}  // namespace

ConnectingSocket::ConnectingSocket(unsigned int timeoutMs, qbsocks_cancel* cancel)
    : timeoutMs_(timeoutMs), cancel_(cancel) {
  if (timeoutMs != 0) deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
  readBound_.pfnGiveUp = [](const void* pContext) {
    const auto* self = static_cast<const ConnectingSocket*>(pContext);
    return self->PastDeadline() || self->Cancelled();
  };
  readBound_.pContext = this;
}

ConnectingSocket::~ConnectingSocket() = default;

ConnectingSocket* ConnectingSocket::Running() { return t_pRunning; }

bool ConnectingSocket::ConnectTo(const char* lpszHost, unsigned int nPort, Outcome& outcome) {
  BOOL bConnected = FALSE;
  {
    CancelRegistration registration(cancel_, this);
    RunningOnThread running(this);
    qbplatform::ScopedReadBound bound(&readBound_);
    TakeReportedText();  // nothing of an earlier call on this thread
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
  proxyCode_ = nCode;
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
  if (lpSockAddr != NULL && nSockAddrLen >= static_cast<int>(sizeof(address_))) memcpy(&address_, lpSockAddr, sizeof(address_));
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

std::string ConnectingSocket::StepInWords(qbfacts::Step step) const {
  const std::string peer = AddressText(address_);
  switch (step) {
    case qbfacts::kNoStep: return "before connecting";
    case qbfacts::kSettings: return "reading the proxy settings";
    case qbfacts::kProxyLookup: return std::string("looking up the proxy's name ") + m_szSocksServer;
    case qbfacts::kProxyConnect: return "connecting to the proxy" + peer;
    case qbfacts::kMethod:
    case qbfacts::kAuth:
    case qbfacts::kReply: return "waiting for the proxy's reply";
    case qbfacts::kUserId: return "asking the system for the user's name (SOCKS4)";
    case qbfacts::kRequest: return "sending the request to the proxy";
    case qbfacts::kTargetLookup: return "looking up the target's name";
    case qbfacts::kTargetConnect: return "connecting to" + (peer.empty() ? " the target" : peer);
  }
  return "";
}

// The facts of a failed connect, and its reason: the bound's or the
// cancel's, else the core's text, else the system's error in words.
void ConnectingSocket::Describe(Outcome& outcome, int nSocketError) const {
  const bool bGaveUpReading = cause_ == qbfacts::kStoreFailed && error_ == ERROR_OPERATION_ABORTED;
  const std::string reported = TakeReportedText();
  outcome.step = step_;
  outcome.cause = cause_;
  outcome.proxyCode = proxyCode_;
  outcome.systemError = error_;
  if (ended_ != Ended::kNo && (bGaveUpReading || cause_ == qbfacts::kNoCause ||
                               error_ == WSAEINTR || error_ == WSAETIMEDOUT)) {
    const bool bCancelled = ended_ == Ended::kCancelled;
    outcome.result = bCancelled ? QBSOCKS_CANCELLED : QBSOCKS_TIMED_OUT;
    outcome.step = endedIn_;
    outcome.cause = bCancelled ? qbfacts::kCancelled : qbfacts::kTimedOut;
    outcome.proxyCode = qbfacts::kNoCode;
    outcome.systemError = 0;
    outcome.reason = bCancelled ? (endedIn_ == qbfacts::kNoStep ? std::string("cancelled before the connect began")
                                                                : "cancelled while " + StepInWords(endedIn_))
                                : "timed out after " + std::to_string(timeoutMs_) + " ms " + StepInWords(endedIn_);
    return;
  }
  if (outcome.systemError == 0 && cause_ == qbfacts::kNoCause) outcome.systemError = nSocketError;
  outcome.result = ResultOf(step_, cause_);
  if (!reported.empty()) {
    outcome.reason = reported;
  } else if (outcome.result == QBSOCKS_PROXY_UNREACHABLE) {
    outcome.reason = (step_ == qbfacts::kProxyLookup ? std::string("cannot look up the proxy's name ") + m_szSocksServer
                                                      : "cannot reach the proxy" + AddressText(address_)) +
                     ": " + SocketErrorInWords(outcome.systemError);
  } else {
    outcome.reason = SocketErrorInWords(outcome.systemError);
  }
}

std::string ReadRoute() {
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
void AppendEscaped(std::string& url, const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    const unsigned char c = *p;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xF];
    }
  }
}

// SOCKS5 sends names to the proxy (socks5h); SOCKS4 carries addresses
// alone and its user ID is the system's user name, not the settings'.
std::string ProxyUrl(const qbsettings::ProxySettings& settings) {
  if (!settings.dwEnable) return "";
  std::string url = settings.dwVersion == 5 ? "socks5h://" : "socks4://";
  if (settings.dwVersion == 5 && settings.szUserName[0] != '\0') {
    AppendEscaped(url, settings.szUserName);
    url += ':';
    AppendEscaped(url, settings.szPassword);
    url += '@';
  }
  AppendEscaped(url, settings.szServer);
  url += ':' + std::to_string(settings.dwPort & 0xFFFFu);  // the bits the connect uses
  return url;
}

}  // namespace

std::string ReadProxyUrl(int& result) {
  qbsettings::ProxySettings settings = {};
  const LONG lUnread = qbsettings::ReadProxySettings(&settings, qbsettings::kReadPassword);
  std::string text;
  if (lUnread != ERROR_SUCCESS) {
    char szWhy[128];
    DescribeUnreadableSettings(lUnread, szWhy, sizeof(szWhy));
    result = QBSOCKS_SETTINGS_UNREADABLE;
    text = szWhy;
  } else {
    result = QBSOCKS_OK;
    text = ProxyUrl(settings);
  }
  SecureZeroMemory(settings.szPassword, sizeof(settings.szPassword));
  return text;
}

std::string SocketErrorInWords(int error) {
  static const std::pair<int, const char*> kTexts[] = {
      {WSAECONNREFUSED, "connection refused"},
      {WSAETIMEDOUT, "timed out"},
      {WSAEHOSTUNREACH, "host unreachable"},
      {WSAENETUNREACH, "network unreachable"},
      {WSAHOST_NOT_FOUND, "host name not found"},
      {WSATRY_AGAIN, "name lookup failed for now; try again"},
      {WSANO_DATA, "the name has no IPv4 address"},
      {WSANO_RECOVERY, "name lookup failed"},
      {WSAECONNRESET, "connection reset"},
      {WSAECONNABORTED, "connection aborted"},
      {WSAEADDRNOTAVAIL, "address not available"},
      {WSAEACCES, "permission denied"},
      {WSAEMFILE, "too many open sockets"},
      {WSAENOBUFS, "no buffer space for another socket"},
      {WSANOTINITIALISED, "the socket layer is not started (WSAStartup or AfxSocketInit)"},
  };
  for (const auto& [number, text] : kTexts)
    if (number == error) return text;
  return "socket error " + std::to_string(error);
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
