// SOCKS5 CONNECT (RFC 1928), client side, with the username/password
// method of RFC 1929 (the wire layout is in Negotiation.h), in its three
// phases: the method, the request, the reply.
#include "CSocks.h"
#include "ConnectFacts.h"
#include "Negotiation.h"

#include <string.h>

namespace {

// The shortest reply: a name of length 0. Reading this much first never
// takes a byte beyond the reply, and shows ATYP and a name's length.
const int kReplyPrefix = 7;
// The longest reply: a name of 255 characters.
const int kMaxReplySize = 4 + 1 + 255 + 2;

// Full length of a reply whose first kReplyPrefix bytes are at hand, or 0
// when its address type is unknown.
int Socks5ReplyLength(const BYTE* reply) {
  switch (reply[3]) {
    case kSocks5AtypIPv4: return 4 + 4 + 2;
    case kSocks5AtypName: return 4 + 1 + reply[4] + 2;
    case kSocks5AtypIPv6: return 4 + 16 + 2;
    default: return 0;
  }
}

int FieldLength(const char* lpszField, size_t cbField) {
  const void* pEnd = memchr(lpszField, '\0', cbField);
  return static_cast<int>(pEnd != NULL ? static_cast<const char*>(pEnd) - lpszField : cbField - 1);
}

}  // namespace

int CSocks::Socks5Connect(const char* lpszHost, unsigned int nPort) {
  qbafx::BlockingCall call(m_nBlockingCall);  // see Connect
  const int bName = IsDNS(lpszHost);
  return Socks5Method() && Socks5Request(lpszHost, bName, nPort) && Socks5Reply();
}

// Offers no authentication and username/password, and carries out the
// method the proxy chooses.
int CSocks::Socks5Method() {
  qbfacts::NoteStep(qbfacts::kMethod);
  if (!SendRequest(kSocks5MethodOffer, sizeof(kSocks5MethodOffer))) return 0;
  BYTE choice[2];
  if (ReceiveReply(choice, 0, sizeof(choice), GetTickCount()) != static_cast<int>(sizeof(choice))) {
    return FailNegotiation(kNegotiationFailure);
  }
  if (choice[0] != kSocks5Version) {
    qbfacts::NoteCause(qbfacts::kBadReply, qbfacts::kNoCode, 0);
    return FailNegotiation(kSocks5VersionFailure);
  }
  if (choice[1] == kSocks5MethodUserPass) {
    qbfacts::NoteStep(qbfacts::kAuth);
    return AuthPasswd() ? 1 : FailNegotiation(kSocks5AuthFailure);
  }
  if (choice[1] == kSocks5MethodNone) return 1;
  // 0xFF: none of the offered methods is acceptable, the proxy's refusal.
  qbfacts::NoteCause(choice[1] == kSocks5NoAcceptableMethod ? qbfacts::kRefused : qbfacts::kBadReply, choice[1], 0);
  return FailNegotiation(kSocks5NoMethodFailure);
}

// Sends the CONNECT request for a name (bName) or a dotted address.
int CSocks::Socks5Request(const char* lpszHost, int bName, unsigned int nPort) {
  qbfacts::NoteStep(qbfacts::kRequest);
  BYTE request[kRequestBufferSize];
  memset(request, 0, sizeof(request));
  int nLength = 0;  // stays 0 for a text that is no address, or a name too long
  BYTE address[4];
  if (bName) {
    nLength = BuildSocks5NameRequest(request, lpszHost, nPort);
  } else if (ParseDottedAddress(lpszHost, address)) {
    nLength = BuildSocks5AddressRequest(request, address, nPort);
  }
  if (nLength == 0) {
    qbfacts::NoteCause(qbfacts::kBadTarget, qbfacts::kNoCode, 0);
    return FailNegotiation(kNameResolveFailure);
  }
  return SendRequest(request, nLength);
}

// Reads the reply as RFC 1928 frames it: the status first, then the bound
// address by its type, so that nothing of the target's stream is taken.
int CSocks::Socks5Reply() {
  qbfacts::NoteStep(qbfacts::kReply);
  BYTE reply[kMaxReplySize];
  const DWORD dwStart = GetTickCount();
  if (!ReadStatusReply(reply, kReplyPrefix, dwStart, kSocks5RepSucceeded, Socks5RefusalText)) return 0;
  const int nReplyLength = Socks5ReplyLength(reply);
  if (nReplyLength == 0) qbfacts::NoteCause(qbfacts::kBadReply, qbfacts::kNoCode, 0);
  if (nReplyLength == 0 || ReceiveReply(reply, kReplyPrefix, nReplyLength, dwStart) != nReplyLength) {
    return FailNegotiation(kNegotiationFailure);
  }
  return 1;
}

int CSocks::AuthPasswd() {
  BYTE request[kRequestBufferSize];
  memset(request, 0, sizeof(request));
  const int nLength = BuildSocks5AuthRequest(request, m_szUserName, FieldLength(m_szUserName, sizeof(m_szUserName)),
                                             m_szPassword, FieldLength(m_szPassword, sizeof(m_szPassword)));
  const int nSent = CSocket::Send(request, nLength, 0);
  SecureZeroMemory(request, sizeof(request));  // no copy of the password outlives the send
  if (nSent != nLength) {
    qbfacts::NoteCause(qbfacts::kSystemError, qbfacts::kNoCode, WSAGetLastError());
    return 0;
  }

  BYTE reply[2];
  if (ReceiveReply(reply, 0, sizeof(reply), GetTickCount()) != static_cast<int>(sizeof(reply))) {
    return 0;
  }
  if (reply[kReplyStatusAt] == kSocks5AuthAccepted) return 1;
  qbfacts::NoteCause(qbfacts::kRefused, reply[kReplyStatusAt], 0);
  return 0;
}
