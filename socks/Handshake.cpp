// The SOCKS4 and SOCKS5 negotiations as values (Handshake.h): what to send,
// how much of a reply to read, what a reply means, and how long it may
// take. No I/O: the driver's socket and clock come in as arguments.
#include "Handshake.h"

#include <string.h>

namespace qbproxy {

namespace {

// The status byte that grants a CONNECT, by protocol.
BYTE GrantedStatus(bool bSocks4) { return bSocks4 ? kSocks4Granted : kSocks5RepSucceeded; }

// What a refusing reply code means as the system's error, where one fits,
// and whether it tells of the target rather than of the proxy's own rules.
// The other codes (SOCKS5's general failure, command not supported, any
// unknown code) have no system error.
struct ReplyCodeMeaning {
  bool bSocks4;
  BYTE nCode;
  LONG lSystemError;
  bool bTargetFailed;
};
const ReplyCodeMeaning kReplyCodeMeanings[] = {
    {false, 2, WSAEACCES, false},        // connection not allowed by ruleset
    {false, 3, WSAENETUNREACH, true},    // network unreachable
    {false, 4, WSAEHOSTUNREACH, true},   // host unreachable
    {false, 5, WSAECONNREFUSED, true},   // connection refused
    {false, 6, WSAETIMEDOUT, true},      // TTL expired: the proxy's connect timed out
    {false, 8, WSAEAFNOSUPPORT, false},  // address type not supported
    {true, 91, WSAECONNREFUSED, true},   // rejected or failed: what a refused target gets
    {true, 92, WSAEACCES, false},        // no identd on the client to ask
    {true, 93, WSAEACCES, false},        // identd and the request name different users
};

const ReplyCodeMeaning* MeaningOf(bool bSocks4, BYTE nCode) {
  for (const ReplyCodeMeaning& meaning : kReplyCodeMeanings)
    if (meaning.bSocks4 == bSocks4 && meaning.nCode == nCode) return &meaning;
  return NULL;
}

}  // namespace

Handshake::Handshake(Protocol protocol, int nStep, Phase phase)
    : m_protocol(protocol), m_phase(phase), m_nStep(nStep) {}

Handshake Handshake::Socks4(const char* lpszHost, unsigned int nPort, Targets targets) {
  Handshake handshake(Protocol::kSocks4, QBSOCKS_STEP_REQUEST, Phase::kUserId);
  handshake.m_nPort = nPort;
  // The target first: a name, or a text that is no address, is refused
  // before the system is asked for the user's name.
  BYTE ipv6[16];
  if (targets == Targets::kIpv4AndIpv6 && ParseIpv6Address(lpszHost, ipv6)) {
    handshake.Fail(QBSOCKS_CAUSE_BAD_TARGET, 0, kSocks4Ipv6Refusal);
  } else if (HasLetter(lpszHost)) {
    handshake.Fail(QBSOCKS_CAUSE_BAD_TARGET, 0, kSocks4NameRefusal);
  } else if (!ParseDottedAddress(lpszHost, handshake.m_address)) {
    handshake.Fail(QBSOCKS_CAUSE_BAD_TARGET, 0, kNameResolveFailure);
  } else {
    handshake.m_nStep = QBSOCKS_STEP_USER_ID;
  }
  return handshake;
}

Handshake Handshake::Socks5(const char* lpszHost, unsigned int nPort, const char* lpUser, int nUser,
                            const char* lpPassword, int nPassword, Targets targets) {
  Handshake handshake(Protocol::kSocks5, QBSOCKS_STEP_METHOD, Phase::kSendOffer);
  handshake.m_lpUser = lpUser != NULL ? lpUser : "";
  handshake.m_nUser = lpUser != NULL ? nUser : 0;
  handshake.m_lpPassword = lpPassword != NULL ? lpPassword : "";
  handshake.m_nPassword = lpPassword != NULL ? nPassword : 0;
  // Built now, so that the host text need not outlive this call; a target
  // it cannot carry fails only when the request is due, after the method.
  BYTE address[16];
  if (targets == Targets::kIpv4AndIpv6 && ParseIpv6Address(lpszHost, address)) {  // before HasLetter: "fe80::1"
    handshake.m_nRequest = BuildSocks5Ipv6Request(handshake.m_request, address, nPort);
  } else if (HasLetter(lpszHost)) {
    handshake.m_nRequest = BuildSocks5NameRequest(handshake.m_request, lpszHost, nPort);
  } else if (ParseDottedAddress(lpszHost, address)) {
    handshake.m_nRequest = BuildSocks5AddressRequest(handshake.m_request, address, nPort);
  }
  return handshake;
}

Handshake Handshake::Socks5Auth(const char* lpUser, int nUser, const char* lpPassword, int nPassword) {
  Handshake handshake = Socks5(NULL, 0, lpUser, nUser, lpPassword, nPassword);
  handshake.m_protocol = Protocol::kSocks5Auth;
  handshake.BeginAuth();
  return handshake;
}

Handshake::~Handshake() { WipeAuth(); }

// The source keeps its copy of the password until its own destructor wipes it.
Handshake::Handshake(Handshake&&) noexcept = default;

Handshake::Want Handshake::Next() const {
  switch (m_phase) {
    case Phase::kUserId: return Want::kUserId;
    case Phase::kSendOffer:
    case Phase::kSendAuth:
    case Phase::kSendRequest: return Want::kSend;
    case Phase::kReadChoice:
    case Phase::kReadAuth:
    case Phase::kReadReply:
    case Phase::kReadReplyRest: return Want::kReceive;
    case Phase::kDone: return Want::kDone;
    case Phase::kFailed: break;
  }
  return Want::kFailed;
}

int Handshake::Step() const {
  if (m_phase == Phase::kDone) return QBSOCKS_STEP_NONE;
  return m_phase == Phase::kFailed ? m_failure.step : m_nStep;
}

bool Handshake::IsSending() const { return Next() == Want::kSend; }
bool Handshake::IsReading() const { return Next() == Want::kReceive; }

const BYTE* Handshake::Output() const {
  switch (m_phase) {
    case Phase::kSendOffer: return kSocks5MethodOffer;
    case Phase::kSendAuth: return m_auth;
    default: return m_request;
  }
}

int Handshake::OutputSize() const {
  switch (m_phase) {
    case Phase::kSendOffer: return static_cast<int>(sizeof(kSocks5MethodOffer));
    case Phase::kSendAuth: return m_nAuth;
    case Phase::kSendRequest: return m_nRequest;
    default: return 0;
  }
}

void Handshake::Sent() {
  switch (m_phase) {
    case Phase::kSendOffer: Read(Phase::kReadChoice, 2); break;
    case Phase::kSendAuth:
      WipeAuth();  // no copy of the password outlives the send
      Read(Phase::kReadAuth, 2);
      break;
    case Phase::kSendRequest:
      m_nStep = QBSOCKS_STEP_REPLY;
      Read(Phase::kReadReply, m_protocol == Protocol::kSocks4 ? kSocks4ReplySize : kSocks5ReplyPrefix);
      break;
    default: break;
  }
}

// A request not sent whole has no text of its own (the error says why),
// except the credentials', whose failure is the subnegotiation's.
void Handshake::SendFailed(LONG lError) {
  if (!IsSending()) return;
  const bool bAuth = m_phase == Phase::kSendAuth;
  WipeAuth();
  Fail(QBSOCKS_CAUSE_SYSTEM_ERROR, lError, bAuth ? kSocks5AuthFailure : NULL);
}

void Handshake::SetUserId(const char* lpszUserId) {
  if (m_phase != Phase::kUserId) return;
  m_nStep = QBSOCKS_STEP_REQUEST;
  m_nRequest = BuildSocks4Request(m_request, m_address, m_nPort, lpszUserId != NULL ? lpszUserId : "");
  if (m_nRequest == 0) m_nRequest = BuildSocks4Request(m_request, m_address, m_nPort, "");  // too long: empty
  m_phase = Phase::kSendRequest;
}

void Handshake::Receiving(DWORD dwNow) {
  if (!IsReading() || m_bClockStarted) return;
  m_bClockStarted = true;
  m_dwReplyStart = dwNow;
}

unsigned int Handshake::MillisecondsLeft(DWORD dwNow) const {
  return ::MillisecondsLeft(m_dwReplyStart, kReplyLimitMs, dwNow);
}

void Handshake::NothingCame(DWORD dwNow) {
  if (m_bClockStarted && MillisecondsLeft(dwNow) == 0) Late();
}

BYTE* Handshake::InputBuffer() { return m_reply + m_nHave; }
int Handshake::InputRoom() const { return IsReading() ? m_nWanted - m_nHave : 0; }

void Handshake::Received(int nBytes) {
  if (!IsReading() || nBytes <= 0 || nBytes > InputRoom()) return;
  m_nHave += nBytes;
  // A refusal ends the reply at its status byte: some proxies send short
  // refusals and keep the connection open.
  if (m_phase == Phase::kReadReply && m_nHave > kReplyStatusAt) {
    const bool bSocks4 = m_protocol == Protocol::kSocks4;
    const BYTE nStatus = m_reply[kReplyStatusAt];
    if (nStatus != GrantedStatus(bSocks4)) {
      const ReplyCodeMeaning* lpMeaning = MeaningOf(bSocks4, nStatus);
      Fail(QBSOCKS_CAUSE_REFUSED, lpMeaning != NULL ? lpMeaning->lSystemError : 0,
           bSocks4 ? Socks4RefusalText(nStatus) : Socks5RefusalText(nStatus), nStatus);
      m_failure.targetFailed = lpMeaning != NULL && lpMeaning->bTargetFailed;
      return;
    }
  }
  if (m_nHave == m_nWanted) ReplyWhole();
}

void Handshake::Closed() { FailReading(QBSOCKS_CAUSE_CLOSED, 0); }
void Handshake::ReceiveFailed(LONG lError) { FailReading(QBSOCKS_CAUSE_SYSTEM_ERROR, lError); }
void Handshake::Late() { FailReading(QBSOCKS_CAUSE_NO_ANSWER, 0); }

const Failure& Handshake::failure() const { return m_failure; }

void Handshake::Fail(int nCause, LONG lError, const char* lpszText, int nProxyCode) {
  m_failure = Failure();
  m_failure.step = m_nStep;
  m_failure.cause = nCause;
  m_failure.proxyCode = nProxyCode;
  m_failure.systemError = lError;
  m_failure.text = lpszText;
  m_phase = Phase::kFailed;
}

// A reply cut short: the subnegotiation's failure in its step, the
// general one elsewhere.
void Handshake::FailReading(int nCause, LONG lError) {
  if (!IsReading()) return;
  Fail(nCause, lError, m_phase == Phase::kReadAuth ? kSocks5AuthFailure : kNegotiationFailure);
}

// A new reply: its bytes from the start of the buffer, its own ten seconds.
void Handshake::Read(Phase phase, int nWanted) {
  m_phase = phase;
  m_nHave = 0;
  m_nWanted = nWanted;
  m_bClockStarted = false;
}

void Handshake::ReplyWhole() {
  switch (m_phase) {
    case Phase::kReadChoice: TakeMethod(); break;
    case Phase::kReadAuth:
      // The version byte is not looked at, only the status.
      if (m_reply[kReplyStatusAt] != kSocks5AuthAccepted) {
        Fail(QBSOCKS_CAUSE_REFUSED, 0, kSocks5AuthFailure, m_reply[kReplyStatusAt]);
      } else if (m_protocol == Protocol::kSocks5Auth) {
        m_phase = Phase::kDone;
      } else {
        BeginRequest();
      }
      break;
    case Phase::kReadReply:
      if (m_protocol == Protocol::kSocks5) {
        // The prefix is whole: the rest of the bound address, by its type,
        // within the same reply's limit.
        const int nLength = Socks5ReplyLength(m_reply);
        if (nLength == 0) {
          Fail(QBSOCKS_CAUSE_BAD_REPLY, 0, kNegotiationFailure);
        } else if (nLength > m_nHave) {
          m_phase = Phase::kReadReplyRest;
          m_nWanted = nLength;
        } else {
          m_phase = Phase::kDone;
        }
      } else {
        m_phase = Phase::kDone;
      }
      break;
    case Phase::kReadReplyRest: m_phase = Phase::kDone; break;
    default: break;
  }
}

// The proxy's choice among the methods offered.
void Handshake::TakeMethod() {
  const BYTE nMethod = m_reply[1];
  if (m_reply[0] != kSocks5Version) {
    Fail(QBSOCKS_CAUSE_BAD_REPLY, 0, kSocks5VersionFailure);
  } else if (nMethod == kSocks5MethodUserPass) {
    BeginAuth();
  } else if (nMethod == kSocks5MethodNone) {
    BeginRequest();
  } else if (nMethod == kSocks5NoAcceptableMethod) {
    Fail(QBSOCKS_CAUSE_REFUSED, 0, kSocks5NoMethodFailure, nMethod);  // none acceptable: the proxy's refusal
  } else {
    Fail(QBSOCKS_CAUSE_BAD_REPLY, 0, kSocks5NoMethodFailure);  // a method it was not offered
  }
}

void Handshake::BeginAuth() {
  m_nStep = QBSOCKS_STEP_AUTH;
  m_nAuth = BuildSocks5AuthRequest(m_auth, m_lpUser, m_nUser, m_lpPassword, m_nPassword);
  // Credentials longer than RFC 1929 carries are never cut short.
  if (m_nAuth == 0) Fail(QBSOCKS_CAUSE_BAD_ARGUMENT, 0, kSocks5AuthFailure);
  else m_phase = Phase::kSendAuth;
}

void Handshake::BeginRequest() {
  m_nStep = QBSOCKS_STEP_REQUEST;
  if (m_nRequest == 0) Fail(QBSOCKS_CAUSE_BAD_TARGET, 0, kNameResolveFailure);
  else m_phase = Phase::kSendRequest;
}

void Handshake::WipeAuth() {
  SecureZeroMemory(m_auth, sizeof(m_auth));
  m_nAuth = 0;
}

LONG LastErrorOf(const Failure& failure) {
  if (failure.systemError != 0 && failure.systemError != WSAEWOULDBLOCK) return failure.systemError;
  switch (failure.cause) {
    case QBSOCKS_CAUSE_REFUSED: return WSAECONNREFUSED;
    case QBSOCKS_CAUSE_CLOSED: return WSAECONNRESET;
    case QBSOCKS_CAUSE_NO_ANSWER: return WSAETIMEDOUT;
    case QBSOCKS_CAUSE_BAD_REPLY: return WSAECONNABORTED;
    default: return WSAEINVAL;  // a target or credentials the request cannot carry
  }
}

namespace {

// One receive for the reply, judged after it: a reply already in the
// socket is taken however late the driver comes back.
Driven ReceiveSome(Handshake& handshake, HandshakeIo& io) {
  handshake.Receiving(io.Now());
  LONG lError = 0;
  const int nGot =
      io.Receive(handshake.InputBuffer(), handshake.InputRoom(), handshake.ReplyStart(), kReplyLimitMs, &lError);
  if (nGot > 0) handshake.Received(nGot);
  else if (nGot == 0) handshake.Closed();
  else if (lError != WSAEWOULDBLOCK) handshake.ReceiveFailed(lError);
  else {
    const DWORD dwNow = io.Now();
    if (handshake.MillisecondsLeft(dwNow) > 0) return Driven::kWaitReadable;
    if (io.EndsAt(HandshakeIo::Moment::kLate, handshake)) return Driven::kEnded;
    handshake.NothingCame(dwNow);
  }
  return Driven::kDone;
}

}  // namespace

Driven Drive(Handshake& handshake, HandshakeIo& io) {
  using Want = Handshake::Want;
  for (;;) {
    if (io.EndsAt(HandshakeIo::Moment::kTurn, handshake)) return Driven::kEnded;
    switch (handshake.Next()) {
      case Want::kSend: {
        if (io.EndsAt(HandshakeIo::Moment::kSend, handshake)) return Driven::kEnded;
        LONG lError = 0;
        if (io.SendAll(handshake.Output(), handshake.OutputSize(), &lError)) handshake.Sent();
        else if (lError == WSAEWOULDBLOCK) return Driven::kWaitWritable;
        else handshake.SendFailed(lError);
        break;
      }
      case Want::kUserId: {
        char szUserId[kSocks4UserIdRoom];
        ReadSocks4UserId(szUserId);
        handshake.SetUserId(szUserId);
        break;
      }
      case Want::kReceive: {
        const Driven driven = ReceiveSome(handshake, io);
        if (driven != Driven::kDone) return driven;
        break;
      }
      case Want::kDone:
      case Want::kFailed: return Driven::kDone;
    }
  }
}

}  // namespace qbproxy
