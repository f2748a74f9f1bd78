// SOCKS5 CONNECT (RFC 1928), client side, with the username/password
// method of RFC 1929.
//
//   offer:    VER=5 | NMETHODS=2 | 0 (none) | 2 (username/password)
//   choice:   VER=5 | METHOD
//   auth:     1 | ULEN | UNAME | PLEN | PASSWD      reply: VER | STATUS (0 = ok)
//   request:  5 | CMD=1 | 0 | ATYP (1 IPv4, 3 name) | DST.ADDR | DST.PORT (2)
//   reply:    5 | REP (0 = ok) | 0 | ATYP | BND.ADDR (4, 1+L or 16) | BND.PORT (2)
#include "CSocks.h"
#include "Negotiation.h"

#include <string.h>

namespace {

const BYTE kSocks5Version = 5;
const BYTE kMethodNone = 0;
const BYTE kMethodUserPass = 2;
const BYTE kAuthVersion = 1;
const BYTE kCmdConnect = 1;
const BYTE kAtypIPv4 = 1;
const BYTE kAtypName = 3;
const BYTE kAtypIPv6 = 4;
const BYTE kRepSucceeded = 0;

// 5 + L + 2 bytes of request must fit the buffer.
const int kMaxNameLength = kRequestBufferSize - 7;
// The shortest reply: a name of length 0. Reading this much first never
// takes a byte beyond the reply, and shows ATYP and a name's length.
const int kReplyPrefix = 7;
// The longest reply: a name of 255 characters.
const int kMaxReplySize = 4 + 1 + 255 + 2;

const char kNegotiationFailure[] = "General negotiation failure";

const char* Socks5ReplyText(BYTE rep) {
  switch (rep) {
    case 1: return "General SOCKS server failure";
    case 2: return "Connection not allowed by ruleset";
    case 3: return "Network unreachable";
    case 4: return "Host unreachable";
    case 5: return "Connection refused";
    case 6: return "TTL expired";
    case 7: return "Command not supported";
    case 8: return "Address type not supported.";
    default: return kNegotiationFailure;
  }
}

// Full length of a reply whose first kReplyPrefix bytes are at hand, or 0
// when its address type is unknown.
int Socks5ReplyLength(const BYTE* reply) {
  switch (reply[3]) {
    case kAtypIPv4: return 4 + 4 + 2;
    case kAtypName: return 4 + 1 + reply[4] + 2;
    case kAtypIPv6: return 4 + 16 + 2;
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

  static const BYTE offer[4] = {kSocks5Version, 2, kMethodNone, kMethodUserPass};
  if (CSocket::Send(offer, sizeof(offer), 0) != static_cast<int>(sizeof(offer))) {
    CloseOnFailure();
    return 0;
  }

  BYTE choice[2];
  if (ReceiveReply(choice, 0, sizeof(choice), GetTickCount()) != static_cast<int>(sizeof(choice))) {
    return FailNegotiation(kNegotiationFailure);
  }
  if (choice[0] != kSocks5Version) return FailNegotiation("SOCKS5 version negotition failur");
  if (choice[1] == kMethodUserPass) {
    if (!AuthPasswd()) return FailNegotiation("Username/password subnegotition failure");
  } else if (choice[1] != kMethodNone) {
    MyMessageBox("General SOCKS5 authentication failure");
    CloseOnFailure();
    return 0;
  }

  BYTE request[kRequestBufferSize];
  memset(request, 0, sizeof(request));
  request[0] = kSocks5Version;
  request[1] = kCmdConnect;
  int nLength = 4;
  if (bName) {
    const int nName = lstrlenA(lpszHost);
    // Cutting the name would connect to another host.
    if (nName > kMaxNameLength) return FailNegotiation(kNameResolveFailure);
    request[3] = kAtypName;
    request[nLength++] = static_cast<BYTE>(nName);
    memcpy(request + nLength, lpszHost, nName);
    nLength += nName;
  } else {
    if (!ParseDottedAddress(lpszHost, request + nLength)) {
      return FailNegotiation(kNameResolveFailure);
    }
    request[3] = kAtypIPv4;
    nLength += 4;
  }
  PutPort(nPort, request + nLength);
  nLength += 2;

  if (CSocket::Send(request, nLength, 0) != nLength) {
    CloseOnFailure();
    return 0;
  }

  BYTE reply[kMaxReplySize];
  const DWORD dwStart = GetTickCount();
  int nGot = ReceiveReply(reply, 0, kReplyPrefix, dwStart, 1, kRepSucceeded);
  if (nGot >= 2 && reply[1] != kRepSucceeded) {
    MyMessageBox(Socks5ReplyText(reply[1]));
    CloseOnFailure();
    return 0;
  }
  if (nGot != kReplyPrefix) return FailNegotiation(kNegotiationFailure);

  const int nReplyLength = Socks5ReplyLength(reply);
  if (nReplyLength == 0) return FailNegotiation(kNegotiationFailure);
  if (ReceiveReply(reply, nGot, nReplyLength, dwStart) != nReplyLength) {
    return FailNegotiation(kNegotiationFailure);
  }
  return 1;
}

int CSocks::AuthPasswd() {
  const int nUser = FieldLength(m_szUserName, sizeof(m_szUserName));
  const int nPassword = FieldLength(m_szPassword, sizeof(m_szPassword));

  BYTE request[kRequestBufferSize];
  memset(request, 0, sizeof(request));
  int nLength = 0;
  request[nLength++] = kAuthVersion;
  request[nLength++] = static_cast<BYTE>(nUser);
  memcpy(request + nLength, m_szUserName, nUser);
  nLength += nUser;
  request[nLength++] = static_cast<BYTE>(nPassword);
  memcpy(request + nLength, m_szPassword, nPassword);
  nLength += nPassword;

  const int nSent = CSocket::Send(request, nLength, 0);
  SecureZeroMemory(request, sizeof(request));  // no copy of the password outlives the send
  if (nSent != nLength) return 0;

  BYTE reply[2];
  if (ReceiveReply(reply, 0, sizeof(reply), GetTickCount()) != static_cast<int>(sizeof(reply))) {
    return 0;
  }
  return reply[1] == 0 ? 1 : 0;
}
