#include "connect_engine.h"

#include "socks/Handshake.h"
#include "socks/Negotiation.h"
#include "afx/sockio.h"
#include "cancel.h"
#include "name_lookup.h"
#include "afx/socket_watch.h"
#include "afx/wake.h"

#include <stdlib.h>
#include <string.h>

namespace qbsocks_c {

namespace sockio = qbafx::sockio;
namespace sys = qbafx::sockio::sys;
using qbsettings::FieldLength;

// The handshake on the heap: it has no empty state to wait in until the
// settings say which one.
struct HandshakeHolder : qbafx::MallocAllocated {
  explicit HandshakeHolder(qbproxy::Handshake&& made) : handshake(static_cast<qbproxy::Handshake&&>(made)) {}
  qbproxy::Handshake handshake;
};

namespace {

// The result a failure of this step with this cause gives: the cause's
// own, else the step's (qbsocks.h's QBSOCKS_STEPS).
int ResultOf(int step, int cause) {
  switch (cause) {
    case QBSOCKS_CAUSE_STORE_FAILED: return QBSOCKS_SETTINGS_UNREADABLE;
    case QBSOCKS_CAUSE_BAD_TARGET: return QBSOCKS_BAD_TARGET;
    default: break;
  }
#define QBSOCKS_C_STEP_RESULT(name, number, result, what, doing) QBSOCKS_##result,
  static const int kResults[] = {QBSOCKS_STEPS(QBSOCKS_C_STEP_RESULT)};
#undef QBSOCKS_C_STEP_RESULT
  return step >= 0 && step < kSteps ? kResults[step] : QBSOCKS_PROXY_FAILED;
}

// The lookup of a name is over and its TCP connect begins: the step after
// it (the same step when it was no lookup).
int StepAfterLookup(int step) {
  return step == QBSOCKS_STEP_PROXY_LOOKUP    ? QBSOCKS_STEP_PROXY_CONNECT
         : step == QBSOCKS_STEP_TARGET_LOOKUP ? QBSOCKS_STEP_TARGET_CONNECT
                                              : step;
}

// Happy Eyeballs' delay (RFC 8305 5): the next address's connect starts
// this long after the one before began, unless that one is over.
const unsigned int kAttemptDelayMs = 250;

// An address text that needs no lookup: dotted IPv4 (what inet_addr takes,
// as CAsyncSocket::Connect) or IPv6, with or without brackets.
bool LiteralAddress(const char* text, FoundAddress* found) {
  memset(found, 0, sizeof(*found));
  const unsigned long ipv4 = inet_addr(text);
  if (ipv4 != INADDR_NONE) {
    auto& address = reinterpret_cast<SOCKADDR_IN&>(found->address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = static_cast<decltype(address.sin_addr.s_addr)>(ipv4);
    found->length = static_cast<int>(sizeof(SOCKADDR_IN));
    return true;
  }
  BYTE ipv6[16];
  if (!ParseIpv6Address(text, ipv6)) return false;
  auto& address = reinterpret_cast<sockaddr_in6&>(found->address);
  address.sin6_family = AF_INET6;
  memcpy(&address.sin6_addr, ipv6, sizeof(ipv6));
  found->length = static_cast<int>(sizeof(sockaddr_in6));
  return true;
}

// The address with its port, in network order.
void SetPort(FoundAddress* found, unsigned int port) {
  const u_short network = htons(static_cast<u_short>(port));
  if (found->address.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(found->address).sin6_port = network;
  else reinterpret_cast<SOCKADDR_IN&>(found->address).sin_port = network;
}

SOCKET Native(uintptr_t handle) { return static_cast<SOCKET>(handle); }

// The facts of a failure in the negotiation with the proxy, for its reason.
NegotiationFailure NegotiationOf(const qbsettings::ProxySettings& settings, const char* host, unsigned int port,
                                 const HandshakeHolder* holder, int cause, LONG systemError, const char* text) {
  NegotiationFailure failure;
  failure.version = static_cast<int>(settings.dwVersion);
  failure.server = settings.szServer;
  failure.serverPort = settings.dwPort;
  failure.host = host != nullptr ? host : "";
  failure.port = port;
  failure.cause = cause;
  // Whether the proxy's code told of the target is the handshake's to say.
  failure.targetFailed = holder != nullptr && holder->handshake.Next() == qbproxy::Handshake::Want::kFailed &&
                         holder->handshake.failure().targetFailed;
  failure.systemError = systemError;
  failure.text = text;
  failure.waitedMs = kReplyLimitMs;
  return failure;
}

}  // namespace

Outcome OutcomeOf(int result, const Text& reason, LONG systemError) {
  Outcome outcome;
  outcome.result = result;
  outcome.cause = result == QBSOCKS_BAD_ARGUMENT ? QBSOCKS_CAUSE_BAD_ARGUMENT : QBSOCKS_CAUSE_SYSTEM_ERROR;
  outcome.systemError = systemError;
  outcome.reason = reason;
  return outcome;
}

ConnectEngine::ConnectEngine(const char* host, unsigned int port, unsigned int timeoutMs, qbsocks_cancel* cancel)
    : host_(nullptr), port_(port), timeoutMs_(timeoutMs), startMs_(GetTickCount()), cancel_(cancel) {
  if (host != nullptr) {
    const size_t size = strlen(host) + 1;
    host_ = static_cast<char*>(malloc(size));
    if (host_ != nullptr) memcpy(host_, host, size);
    else refusal_ = "";  // out of memory: no refusal of the caller's
  } else {
    refusal_ = "qbsocks_connect needs a host and a place for the socket";
  }
  readBound_.pfnGiveUp = [](const void* pContext) {
    const auto* self = static_cast<const ConnectEngine*>(pContext);
    return self->PastBound() || IsTriggered(self->cancel_);
  };
  readBound_.pContext = this;
  memset(&settings_, 0, sizeof(settings_));
  settings_.dwEnable = 1;  // as a new CSocks has it
}

ConnectEngine::~ConnectEngine() {
  Close();
  free(host_);
}

int ConnectEngine::Advance(qbsocks_wait* wait) {
  const int result = Step(wait);
  // The handle the caller watched closes only now, once the next one is
  // open: a wait that changed never names the number of the one before,
  // which a loop that keys its watches by number would take for the same.
  if (parked_ != QBSOCKS_NO_HANDLE) sockio::CloseSocket(Native(parked_));
  parked_ = QBSOCKS_NO_HANDLE;
  watched_ = result == QBSOCKS_IN_PROGRESS ? wait->socket : QBSOCKS_NO_HANDLE;
  return result;
}

int ConnectEngine::Step(qbsocks_wait* wait) {
  switch (phase_) {
    case Phase::kStart: return Start(wait);
    case Phase::kLookup: return AfterLookup(wait);
    case Phase::kConnecting: return AwaitConnect(wait);
    case Phase::kHandshake: return DriveHandshake(wait);
    case Phase::kEnded: break;
  }
  return outcome_.result;
}

void ConnectEngine::GiveUp() {
  if (phase_ == Phase::kEnded) return;
  if (ended_ != Ended::kCancelled) endedIn_ = step_;
  ended_ = Ended::kCancelled;
  EndEarly();
}

uintptr_t ConnectEngine::HandOver() {
  if (phase_ != Phase::kEnded || outcome_.result != QBSOCKS_OK) return QBSOCKS_NO_HANDLE;
  if (!sockio::MakeBlocking(Native(socket_))) {
    const int error = WSAGetLastError();
    End(OutcomeOf(QBSOCKS_NO_SOCKET, Text("cannot make the socket blocking: ").Append(SocketErrorInWords(error)),
                  error));
    return QBSOCKS_NO_HANDLE;
  }
  const uintptr_t handle = socket_;
  socket_ = QBSOCKS_NO_HANDLE;
  return handle;
}

// The socket, then the settings, then the way: as CSocks::Connect goes.
int ConnectEngine::Start(qbsocks_wait* wait) {
  if (refusal_ != nullptr) {
    return End(*refusal_ != '\0' ? OutcomeOf(QBSOCKS_BAD_ARGUMENT, refusal_)
                                 : OutcomeOf(QBSOCKS_NO_SOCKET, "out of memory"));
  }
  // A cancel that came before the connect began ends it before anything
  // is opened: no socket, and no NO_SOCKET when none could be had.
  if (MustEnd()) return EndEarly();
  const SOCKET handle = sockio::OpenSocket(SOCK_STREAM);
  if (handle == INVALID_SOCKET) {
    const int error = WSAGetLastError();
    return End(OutcomeOf(QBSOCKS_NO_SOCKET,
                         error == WSANOTINITIALISED
                             ? SocketErrorInWords(error)
                             : Text("cannot create a socket: ").Append(SocketErrorInWords(error)),
                         error));
  }
  socket_ = static_cast<uintptr_t>(handle);

  // Settings that cannot be read fail the connect: going direct would
  // bypass a proxy the user switched on.
  EnterStep(QBSOCKS_STEP_SETTINGS);
  const qbsettings::BoundedRead read =
      qbsettings::ReadProxySettingsWithin(readBound_, &settings_, qbsettings::kReadPassword);
  if (read.bGivenUp) {  // for the bound or a cancel, which MustEnd notes
    MustEnd();
    return EndEarly();
  }
  if (read.lUnread != ERROR_SUCCESS) {
    char why[128];
    DescribeUnreadableSettings(read.lUnread, why, sizeof(why));
    return Fail(QBSOCKS_CAUSE_STORE_FAILED, QBSOCKS_NO_PROXY_CODE, read.lUnread, why);
  }
  return BeginConnect(wait);
}

int ConnectEngine::BeginConnect(qbsocks_wait* wait) {
  const char* name = settings_.dwEnable ? settings_.szServer : host_;
  FoundAddress literal;
  const bool isLiteral = LiteralAddress(name, &literal);
  if (settings_.dwEnable) EnterStep(isLiteral ? QBSOCKS_STEP_PROXY_CONNECT : QBSOCKS_STEP_PROXY_LOOKUP);
  else EnterStep(isLiteral ? QBSOCKS_STEP_TARGET_CONNECT : QBSOCKS_STEP_TARGET_LOOKUP);
  if (isLiteral) {
    if (!TakeAddresses(&literal, 1, nullptr)) return End(OutcomeOf(QBSOCKS_NO_SOCKET, "out of memory"));
    return StartConnecting(wait);
  }
  if (ended_ != Ended::kNo) return EndEarly();  // no lookup for a connect that is over
  int error = 0;
  const char* why = nullptr;
  lookup_ = NameLookup::Start(name, &error, &why);
  // Never looked up on this thread, never direct: the connect fails.
  if (lookup_ == nullptr) return Fail(QBSOCKS_CAUSE_SYSTEM_ERROR, QBSOCKS_NO_PROXY_CODE, error, why);
  phase_ = Phase::kLookup;
  return AfterLookup(wait);
}

int ConnectEngine::AfterLookup(qbsocks_wait* wait) {
  if (!lookup_->Done()) {
    // A connect that waits for its lookup holds one descriptor, the
    // lookup's wake: thousands of them at once must not need twice the
    // descriptors. The socket opened first has served its check; each
    // address found opens one of its own family.
    if (socket_ != QBSOCKS_NO_HANDLE) sockio::CloseSocket(Native(socket_));
    socket_ = QBSOCKS_NO_HANDLE;
    return WaitFor(lookup_->Handle(), QBSOCKS_WAIT_READABLE, QBSOCKS_WAIT_FOREVER, wait);
  }
  NameLookup* const answered = lookup_;
  lookup_ = nullptr;
  const int count = answered->Count();
  int result = QBSOCKS_IN_PROGRESS;
  if (count == 0) result = CallFailed(answered->Error());
  else if (!TakeAddresses(nullptr, count, answered)) result = End(OutcomeOf(QBSOCKS_NO_SOCKET, "out of memory"));
  else lookedUp_ = true, result = StartConnecting(wait);
  answered->Release();  // its wake, the watched handle, after the next is open (Advance says why)
  return result;
}

bool ConnectEngine::TakeAddresses(const FoundAddress* first, int count, const NameLookup* lookup) {
  addresses_ = static_cast<FoundAddress*>(malloc(sizeof(FoundAddress) * static_cast<size_t>(count)));
  attempts_ = static_cast<uintptr_t*>(malloc(sizeof(uintptr_t) * static_cast<size_t>(count)));
  if (addresses_ == nullptr || attempts_ == nullptr) return false;
  const unsigned int port = settings_.dwEnable ? settings_.dwPort : port_;
  for (int i = 0; i < count; ++i) {
    addresses_[i] = lookup != nullptr ? lookup->Address(i) : first[i];
    SetPort(&addresses_[i], port);
    attempts_[i] = QBSOCKS_NO_HANDLE;
  }
  addressCount_ = count;
  return true;
}

int ConnectEngine::StartConnecting(qbsocks_wait* wait) {
  EnterStep(StepAfterLookup(step_));
  if (MustEnd()) return EndEarly();
  phase_ = Phase::kConnecting;
  return StartNextAttempt(wait);
}

int ConnectEngine::StartNextAttempt(qbsocks_wait* wait) {
  while (nextAddress_ < addressCount_) {
    const int i = nextAddress_++;
    const FoundAddress& address = addresses_[i];
    memcpy(&peer_, &address.address, sizeof(peer_));
    attemptStartMs_ = GetTickCount();
    SOCKET handle = INVALID_SOCKET;
    if (address.address.ss_family == AF_INET && socket_ != QBSOCKS_NO_HANDLE) {
      handle = Native(socket_);  // the socket opened first
      socket_ = QBSOCKS_NO_HANDLE;
    } else {
      handle = sockio::OpenSocket(SOCK_STREAM, address.address.ss_family);
      if (handle == INVALID_SOCKET) {  // this family has none (no IPv6 here): the next address
        AttemptFailed(i, WSAGetLastError());
        continue;
      }
    }
    attempts_[i] = static_cast<uintptr_t>(handle);
    if (sys::connect(sockio::Native(handle), reinterpret_cast<const sockaddr*>(&address.address),
                     static_cast<sockio::SockLen>(address.length)) == 0) {
      return Won(i, wait);
    }
    const int error = sockio::SaveSystemError();  // a connect under way reports WSAEWOULDBLOCK
    if (error == WSAEWOULDBLOCK) break;
    AttemptFailed(i, error);
  }
  return AwaitConnect(wait);
}

void ConnectEngine::AttemptFailed(int i, LONG error) {
  if (attempts_[i] == watched_) parked_ = watched_;  // closed at the end of Advance, which says why
  else if (attempts_[i] != QBSOCKS_NO_HANDLE) sockio::CloseSocket(Native(attempts_[i]));
  attempts_[i] = QBSOCKS_NO_HANDLE;
  ++failedCount_;
  lastError_ = error;
}

// A look without waiting: a connect is over once its socket is writable
// (or failed: SO_ERROR says why). Windows' select reports a failed connect
// in its exception set, which Wait counts as ready.
bool ConnectEngine::AttemptOver(int i, bool* connected) {
  *connected = false;
  const SOCKET handle = Native(attempts_[i]);
  const int seen = sockio::Wait(handle, sockio::kWritable, 0);
  if (seen < 0) return AttemptFailed(i, WSAGetLastError()), true;
  if (seen == 0) return false;
  int soError = 0;
  sockio::SockLen size = static_cast<sockio::SockLen>(sizeof(soError));
  if (sys::getsockopt(sockio::Native(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size) != 0)
    return AttemptFailed(i, sockio::SaveSystemError()), true;
  if (soError != 0) return AttemptFailed(i, sockio::WinsockNumber(soError)), true;
  *connected = (seen & sockio::kWritable) != 0;
  return *connected;
}

// Every attempt under way looked at; then the next one begins, or the
// newest is waited for (the header says how long).
int ConnectEngine::AwaitConnect(qbsocks_wait* wait) {
  int newest = -1, underWay = 0;
  for (int i = 0; i < nextAddress_; ++i) {
    if (attempts_[i] == QBSOCKS_NO_HANDLE) continue;
    bool connected = false;
    if (AttemptOver(i, &connected)) {
      if (connected) return Won(i, wait);
      continue;
    }
    newest = i, ++underWay;
  }
  const unsigned int sinceStart = GetTickCount() - attemptStartMs_;
  unsigned int limitMs = QBSOCKS_WAIT_FOREVER;
  if (nextAddress_ < addressCount_) {
    // The last one begun failed, or its time is up: the next begins now.
    if (newest != nextAddress_ - 1 || sinceStart >= kAttemptDelayMs) return StartNextAttempt(wait);
    limitMs = kAttemptDelayMs - sinceStart;
  } else if (newest < 0) {
    return CallFailed(lastError_);  // every address failed
  } else if (underWay > 1) {
    limitMs = kAttemptDelayMs;  // an older one may connect first
  }
  return WaitFor(attempts_[newest], QBSOCKS_WAIT_WRITABLE, limitMs, wait);
}

// The first to connect: the others are closed (RFC 8305 6).
int ConnectEngine::Won(int i, qbsocks_wait* wait) {
  if (socket_ != QBSOCKS_NO_HANDLE) sockio::CloseSocket(Native(socket_));
  socket_ = attempts_[i];
  attempts_[i] = QBSOCKS_NO_HANDLE;
  memcpy(&peer_, &addresses_[i].address, sizeof(peer_));
  CloseAttempts();
  return settings_.dwEnable ? StartHandshake(wait) : Connected();
}

void ConnectEngine::CloseAttempts() {
  for (int i = 0; attempts_ != nullptr && i < addressCount_; ++i) {
    if (attempts_[i] != QBSOCKS_NO_HANDLE) sockio::CloseSocket(Native(attempts_[i]));
    attempts_[i] = QBSOCKS_NO_HANDLE;
  }
}

int ConnectEngine::StartHandshake(qbsocks_wait* wait) {
  // The C interface takes IPv6 targets too; CSocks keeps to IPv4.
  const auto kTargets = qbproxy::Handshake::Targets::kIpv4AndIpv6;
  // ReadProxySettings turns the proxy off for any version but 4 and 5.
  if (settings_.dwVersion == 4) {
    handshake_ = new HandshakeHolder{qbproxy::Handshake::Socks4(host_, port_, kTargets)};
  } else {
    handshake_ = new HandshakeHolder{qbproxy::Handshake::Socks5(
        host_, port_, settings_.szUserName, FieldLength(settings_.szUserName, sizeof(settings_.szUserName)),
        settings_.szPassword, FieldLength(settings_.szPassword, sizeof(settings_.szPassword)), kTargets)};
  }
  if (handshake_ == nullptr) return End(OutcomeOf(QBSOCKS_NO_SOCKET, "out of memory"));
  phase_ = Phase::kHandshake;
  return DriveHandshake(wait);
}

// The handshake over non-blocking sends and receives until one would
// block: then the socket is waited for, within the reply's time that the
// handshake says. Once the bound or a cancel is seen, nothing more goes to
// the proxy (the password least of all): the connect ends in the step it
// is in.
int ConnectEngine::DriveHandshake(qbsocks_wait* wait) {
  // The engine's side of the handshake's one driver step. A class of this
  // member's, so that it may use the engine's own.
  class NonBlockingIo final : public qbproxy::HandshakeIo {
   public:
    explicit NonBlockingIo(ConnectEngine& engine)
        : engine_(engine), native_(sockio::Native(Native(engine.socket_))) {}
    // One send of what is left: a part that went leaves the rest for when
    // the socket is writable again (its buffer is full).
    bool SendAll(const BYTE* data, int size, LONG* error) override {
      const auto n = sys::send(native_, reinterpret_cast<const char*>(data) + engine_.sent_, size - engine_.sent_,
                               sockio::kNoSigPipe);
      if (n < 0) {
        *error = sockio::SaveSystemError();  // WSAEWOULDBLOCK when it would block
        return false;
      }
      engine_.sent_ += static_cast<int>(n);
      if (engine_.sent_ != size) return *error = WSAEWOULDBLOCK, false;
      engine_.sent_ = 0;
      return true;
    }
    int Receive(BYTE* buffer, int size, DWORD, DWORD, LONG* error) override {
      const auto n = sys::recv(native_, reinterpret_cast<char*>(buffer), size, 0);
      if (n < 0) *error = sockio::SaveSystemError();
      return static_cast<int>(n);
    }
    bool EndsAt(Moment moment, const qbproxy::Handshake& handshake) override {
      if (moment != Moment::kTurn) return engine_.MustEnd();
      // Done, the handshake is in no step; the connect stays in the
      // reply's, where a cancel seen now ends it.
      const int step = handshake.Step();
      if (step != engine_.step_ && step != QBSOCKS_STEP_NONE) engine_.EnterStep(step);
      return engine_.ended_ != Ended::kNo;
    }

   private:
    ConnectEngine& engine_;
    decltype(sockio::Native(SOCKET())) native_;
  };
  qbproxy::Handshake& handshake = handshake_->handshake;
  NonBlockingIo io(*this);
  switch (qbproxy::Drive(handshake, io)) {
    case qbproxy::Driven::kWaitWritable: return WaitFor(socket_, QBSOCKS_WAIT_WRITABLE, QBSOCKS_WAIT_FOREVER, wait);
    case qbproxy::Driven::kWaitReadable:
      return WaitFor(socket_, QBSOCKS_WAIT_READABLE, handshake.MillisecondsLeft(GetTickCount()), wait);
    case qbproxy::Driven::kEnded: return EndEarly();
    case qbproxy::Driven::kDone: break;
  }
  if (handshake.Next() == qbproxy::Handshake::Want::kDone) return Connected();
  // (A proxy's code mapped to WSAETIMEDOUT is the proxy's own time-out.)
  const qbproxy::Failure& failure = handshake.failure();
  if (failure.cause == QBSOCKS_CAUSE_SYSTEM_ERROR) return CallFailed(failure.systemError, failure.text);
  return Fail(failure.cause, failure.proxyCode, failure.systemError, failure.text);
}

// Connected; a cancel that no wait took still ends it.
int ConnectEngine::Connected() {
  if (IsTriggered(cancel_)) {
    MustEnd();
    return EndEarly();
  }
  return End(Outcome());
}

void ConnectEngine::EnterStep(int step) {
  // A step that ran over the bound (one that nothing can cut short) is
  // seen as the next one begins: the bound ran out in it, not in the next.
  // A cancel seen there ends the step that begins: the one before it was
  // done (a request sent whole), so the cancel takes effect in this one.
  if (ended_ == Ended::kNo && step_ != QBSOCKS_STEP_NONE && MustEnd())
    endedIn_ = ended_ == Ended::kCancelled ? step : step_;
  step_ = step;
}

// The bound by the time gone since the start, which the tick count's wrap
// leaves right.
bool ConnectEngine::PastBound() const {
  return timeoutMs_ != 0 && MillisecondsLeft(startMs_, timeoutMs_, GetTickCount()) == 0;
}

bool ConnectEngine::MustEnd() {
  if (ended_ == Ended::kNo) {
    if (IsTriggered(cancel_)) ended_ = Ended::kCancelled;
    else if (PastBound()) ended_ = Ended::kTimedOut;
    else return false;
    endedIn_ = step_;
  }
  return true;
}

// A wait that would start past the bound or after a cancel ends the
// connect instead; else the caller is to come back when the handle is
// ready, or at the bound or within limitMs (the reply's time), or,
// while the TCP connect goes on, when the caller's wait may have missed
// its failure (WSAPoll's): the next look asks the socket.
int ConnectEngine::WaitFor(uintptr_t handle, int events, unsigned int limitMs, qbsocks_wait* wait) {
  if (MustEnd()) return EndEarly();
  unsigned int timeout = limitMs;
  if (timeoutMs_ != 0) {
    const unsigned int left = MillisecondsLeft(startMs_, timeoutMs_, GetTickCount());
    if (left < timeout) timeout = left;
  }
  if (phase_ == Phase::kConnecting && timeout > sockio::kLongestConnectWaitMs)
    timeout = sockio::kLongestConnectWaitMs;
  wait->socket = handle;
  wait->events = events;
  wait->timeout_ms = timeout;
  return QBSOCKS_IN_PROGRESS;
}

int ConnectEngine::EndEarly() {
  const bool cancelled = ended_ == Ended::kCancelled;
  Outcome outcome;
  outcome.result = cancelled ? QBSOCKS_CANCELLED : QBSOCKS_TIMED_OUT;
  outcome.step = endedIn_;
  outcome.cause = cancelled ? QBSOCKS_CAUSE_CANCELLED : QBSOCKS_CAUSE_TIMED_OUT;
  outcome.reason = EndedReason(cancelled, timeoutMs_, endedIn_, settings_.szServer, peer_);
  return End(outcome);
}

// A system call of the current step failed. One whose wait was cut short
// (WSAEINTR, WSAETIMEDOUT) was cut short by the bound or the cancel when
// either came: the connect ended early, not failed.
int ConnectEngine::CallFailed(LONG error, const char* text) {
  if ((error == WSAEINTR || error == WSAETIMEDOUT) && MustEnd()) return EndEarly();
  return Fail(QBSOCKS_CAUSE_SYSTEM_ERROR, QBSOCKS_NO_PROXY_CODE, error, text);
}

// A failure of the current step, in the library's words: the step's text,
// else the unreachable proxy's, else the system's error.
int ConnectEngine::Fail(int cause, int proxyCode, LONG systemError, const char* text) {
  Outcome outcome;
  outcome.step = step_;
  outcome.cause = cause;
  outcome.proxyCode = cause == QBSOCKS_CAUSE_REFUSED ? proxyCode : QBSOCKS_NO_PROXY_CODE;
  outcome.systemError = systemError;
  outcome.result = ResultOf(step_, cause);
  if (settings_.dwEnable && step_ >= QBSOCKS_STEP_METHOD && step_ <= QBSOCKS_STEP_REPLY)
    outcome.reason = NegotiationReason(NegotiationOf(settings_, host_, port_, handshake_, cause, systemError, text));
  else if (text != nullptr) outcome.reason = text;
  else if (outcome.result == QBSOCKS_PROXY_UNREACHABLE || (lookedUp_ && step_ == QBSOCKS_STEP_TARGET_CONNECT))
    outcome.reason = UnreachableReason(step_, settings_.szServer, peer_, systemError, failedCount_);
  else outcome.reason = SocketErrorInWords(systemError);
  return End(outcome);
}

int ConnectEngine::End(const Outcome& outcome) {
  outcome_ = outcome;
  phase_ = Phase::kEnded;
  if (outcome.result != QBSOCKS_OK) Close();
  ReleaseParts();
  return outcome.result;
}

void ConnectEngine::Close() {
  if (socket_ != QBSOCKS_NO_HANDLE) sockio::CloseSocket(Native(socket_));
  socket_ = QBSOCKS_NO_HANDLE;
  ReleaseParts();
}

void ConnectEngine::ReleaseParts() {
  CloseAttempts();
  free(addresses_);
  free(attempts_);
  addresses_ = nullptr;
  attempts_ = nullptr;
  addressCount_ = nextAddress_ = 0;
  if (lookup_ != nullptr) lookup_->Release();  // the thread ends it
  lookup_ = nullptr;
  delete handshake_;  // wipes its copies of the password
  handshake_ = nullptr;
  SecureZeroMemory(settings_.szPassword, sizeof(settings_.szPassword));
}

namespace {

// Without a wake (the system gave none) a cancel is looked for this often.
const unsigned int kNoWakeSliceMs = 20;

// Sleeps until the connect's handle is ready as wait says, the wake (when
// there is one) is readable, or wait's time has passed.
void SleepOn(const qbsocks_wait& wait, uintptr_t wake, unsigned int timeoutMs) {
  if (wait.timeout_ms < timeoutMs) timeoutMs = wait.timeout_ms;
  static_assert(QBSOCKS_NO_HANDLE == qbafx::kNoWake && QBSOCKS_WAIT_FOREVER == qbafx::kNoTimeLimit,
                "the C interface's and the platform's words for none differ");
  qbafx::WaitForSocketOrWake(wait.socket,
                             wait.events == QBSOCKS_WAIT_READABLE ? sockio::kReadable : sockio::kWritable, wake,
                             timeoutMs);
}

void SignalWake(void* wake) { static_cast<qbafx::Wake*>(wake)->Signal(); }

// The wake on the cancel handle's list while the loop runs, on every way out.
class WakeOnCancel {
 public:
  WakeOnCancel(qbsocks_cancel* cancel, qbafx::Wake& wake) : cancel_(cancel) {
    waker_.pfnWake = SignalWake;
    waker_.pContext = &wake;
    AddWaker(cancel_, &waker_);
  }
  ~WakeOnCancel() { RemoveWaker(cancel_, &waker_); }
  WakeOnCancel(const WakeOnCancel&) = delete;
  WakeOnCancel& operator=(const WakeOnCancel&) = delete;

 private:
  qbsocks_cancel* cancel_;
  CancelWaker waker_;
};

}  // namespace

void RunToEnd(ConnectEngine& engine) {
  qbsocks_cancel* const cancel = engine.cancel();
  qbsocks_wait wait;
  if (engine.Advance(&wait) != QBSOCKS_IN_PROGRESS) return;
  // Without a cancel handle nothing but the handle and the time can move
  // the connect on: no wake to open.
  qbafx::Wake wake;
  if (cancel == nullptr || !wake.Open()) {
    do SleepOn(wait, QBSOCKS_NO_HANDLE, cancel != nullptr ? kNoWakeSliceMs : QBSOCKS_WAIT_FOREVER);
    while (engine.Advance(&wait) == QBSOCKS_IN_PROGRESS);
    return;
  }
  WakeOnCancel registration(cancel, wake);
  do {
    SleepOn(wait, wake.Handle(), QBSOCKS_WAIT_FOREVER);
    wake.Clear();  // before the connect looks at the cancel again
  } while (engine.Advance(&wait) == QBSOCKS_IN_PROGRESS);
}

}  // namespace qbsocks_c
