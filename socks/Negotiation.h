// What the SOCKS4 and SOCKS5 negotiations share: the reply limit, the
// protocols' numbers, and the requests, each built by a small function
// that the negotiations, the tests and the fuzz harness all call.
//
//   SOCKS4 request:  VN=4 | CD=1 | DSTPORT (2, network order) | DSTIP (4) | USERID | 0
//          reply:    VN | CD (90 = granted) | DSTPORT (2) | DSTIP (4)
//   SOCKS5 offer:    VER=5 | NMETHODS=2 | 0 (none) | 2 (username/password)
//          choice:   VER=5 | METHOD
//          auth:     1 | ULEN | UNAME | PLEN | PASSWD      reply: VER | STATUS (0 = ok)
//          request:  5 | CMD=1 | 0 | ATYP (1 IPv4, 3 name) | DST.ADDR | DST.PORT (2)
//          reply:    5 | REP (0 = ok) | 0 | ATYP | BND.ADDR (4, 1+L or 16) | BND.PORT (2)
#ifndef QBSOCKS_NEGOTIATION_H
#define QBSOCKS_NEGOTIATION_H

#include "FailureTexts.h"
#include "afx/address_text.h"
#include "win32.h"

#include <string.h>

// How long one reply may take, from just before its first receive.
const DWORD kReplyLimitMs = 10000;

// Milliseconds from dwNow until more than dwLimit have passed since
// dwStart: past once the count has gone beyond, not at it (the unsigned
// difference is right across the tick count's wrap); 0 when it is past.
inline unsigned int MillisecondsLeft(DWORD dwStart, DWORD dwLimit, DWORD dwNow) {
  const DWORD dwElapsed = dwNow - dwStart;
  if (dwElapsed > dwLimit) return 0;
  const DWORD dwLeft = dwLimit - dwElapsed;
  return dwLeft == 0xFFFFFFFFu ? dwLeft : dwLeft + 1;  // the longest limit has no millisecond more to give
}
// How often the wait comes back to look at the reply limit.
const int kPumpIntervalMs = 100;
// Every request is built in a zero-filled buffer of this size.
const int kRequestBufferSize = 256;
// Where both protocols put the status of a reply.
const int kReplyStatusAt = 1;

const BYTE kSocks4Version = 4;
const BYTE kSocks4Connect = 1;
const BYTE kSocks4Granted = 90;
const int kSocks4HeaderSize = 8;
const int kSocks4ReplySize = 8;
// Room for USERID in the request buffer, its terminator included.
const DWORD kSocks4UserIdRoom = kRequestBufferSize - kSocks4HeaderSize;

const BYTE kSocks5Version = 5;
const BYTE kSocks5MethodNone = 0;
const BYTE kSocks5MethodUserPass = 2;
const BYTE kSocks5NoAcceptableMethod = 0xFF;
const BYTE kSocks5AuthVersion = 1;
const BYTE kSocks5Connect = 1;
const BYTE kSocks5AtypIPv4 = 1;
const BYTE kSocks5AtypName = 3;
const BYTE kSocks5AtypIPv6 = 4;
const BYTE kSocks5RepSucceeded = 0;
const BYTE kSocks5AuthAccepted = 0;
const BYTE kSocks5MethodOffer[] = {kSocks5Version, 2, kSocks5MethodNone, kSocks5MethodUserPass};
// The shortest SOCKS5 reply: a name of length 0. Reading this much first
// never takes a byte beyond the reply, and shows ATYP and a name's length.
const int kSocks5ReplyPrefix = 7;
// The longest: a name of 255 characters.
const int kSocks5MaxReplySize = 4 + 1 + 255 + 2;

// Full length of a SOCKS5 reply whose first kSocks5ReplyPrefix bytes are
// at hand, or 0 when its address type is unknown.
inline int Socks5ReplyLength(const BYTE* lpReply) {
  switch (lpReply[3]) {
    case kSocks5AtypIPv4: return 4 + 4 + 2;
    case kSocks5AtypName: return 4 + 1 + lpReply[4] + 2;
    case kSocks5AtypIPv6: return 4 + 16 + 2;
    default: return 0;
  }
}

// Whether a host text is taken for a name: it has a letter, exactly as
// isalpha decides in the C locale. Written out so that a host's locale or
// a byte above 0x7F cannot change it.
inline bool HasLetter(const char* lpszHost) {
  if (lpszHost == NULL) return false;
  for (const char* p = lpszHost; *p != '\0'; ++p) {
    if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')) return true;
  }
  return false;
}

// Writes the 4 bytes of a dotted IPv4 address, in network order, to
// lpOut. False when the text is not one: inet_addr's failure value, all
// bits set, also rules out 255.255.255.255.
inline bool ParseDottedAddress(const char* lpszHost, BYTE* lpOut) {
  if (lpszHost == NULL) return false;
  const DWORD nAddr = static_cast<DWORD>(inet_addr(lpszHost));
  if (nAddr == static_cast<DWORD>(INADDR_NONE)) return false;
  memcpy(lpOut, &nAddr, 4);
  return true;
}

// Writes the 16 bytes of an IPv6 address text (RFC 4291 2.2), in network
// order, to lpOut; in brackets or not. False when the text is not one (a
// zone, "%eth0", included: a connect cannot use it).
inline bool ParseIpv6Address(const char* lpszHost, BYTE* lpOut) {
  if (lpszHost == NULL) return false;
  size_t nLength = 0;  // (a loop: the class's module imports no strlen)
  while (lpszHost[nLength] != '\0') ++nLength;
  if (nLength >= 2 && lpszHost[0] == '[' && lpszHost[nLength - 1] == ']') ++lpszHost, nLength -= 2;
  return qbafx::ParseIpv6Text(lpszHost, nLength, lpOut);
}

// Writes the port's low 16 bits, most significant byte first.
inline void PutPort(unsigned int nPort, BYTE* lpOut) {
  const unsigned short nNetPort = htons(static_cast<unsigned short>(nPort));
  memcpy(lpOut, &nNetPort, 2);
}

// SOCKS4's USERID: the system's name of the user, or "" when it has none.
// A name GetUserNameA delivers fits, terminator included. It asks the user
// database, which nothing here can cut short.
inline void ReadSocks4UserId(char (&szUserId)[kSocks4UserIdRoom]) {
  DWORD cbUserId = sizeof(szUserId);
  if (!GetUserNameA(szUserId, &cbUserId)) szUserId[0] = '\0';
}

// ---- The requests ----
//
// Each writes its request from the start of lpRequest, a zero-filled
// buffer of kRequestBufferSize bytes, and returns its length in bytes, or
// 0 when it does not fit (nothing is ever cut short: a shorter name would
// be another host, a shorter password another user).

// SOCKS4 CONNECT to the 4 address bytes at lpAddress (network order),
// with lpszUserId as USERID.
inline int BuildSocks4Request(BYTE* lpRequest, const BYTE* lpAddress, unsigned int nPort, const char* lpszUserId) {
  const int nUserId = lstrlenA(lpszUserId);
  if (nUserId >= static_cast<int>(kSocks4UserIdRoom)) return 0;
  lpRequest[0] = kSocks4Version;
  lpRequest[1] = kSocks4Connect;
  PutPort(nPort, lpRequest + 2);
  memcpy(lpRequest + 4, lpAddress, 4);
  memcpy(lpRequest + kSocks4HeaderSize, lpszUserId, nUserId + 1);
  return kSocks4HeaderSize + nUserId + 1;
}

// The username/password request of RFC 1929: nUser bytes of lpUser and
// nPassword bytes of lpPassword, no terminators.
inline int BuildSocks5AuthRequest(BYTE* lpRequest, const char* lpUser, int nUser, const char* lpPassword,
                                  int nPassword) {
  if (nUser < 0 || nPassword < 0 || nUser > 255 || nPassword > 255 || 3 + nUser + nPassword > kRequestBufferSize) {
    return 0;
  }
  int nLength = 0;
  lpRequest[nLength++] = kSocks5AuthVersion;
  lpRequest[nLength++] = static_cast<BYTE>(nUser);
  memcpy(lpRequest + nLength, lpUser, nUser);
  nLength += nUser;
  lpRequest[nLength++] = static_cast<BYTE>(nPassword);
  memcpy(lpRequest + nLength, lpPassword, nPassword);
  return nLength + nPassword;
}

// SOCKS5 CONNECT: the header with its address type, then the address that
// the caller writes (nAddress bytes), then the port.
inline int BuildSocks5Request(BYTE* lpRequest, BYTE nAtyp, const BYTE* lpAddress, int nAddress, unsigned int nPort) {
  if (4 + nAddress + 2 > kRequestBufferSize) return 0;
  lpRequest[0] = kSocks5Version;
  lpRequest[1] = kSocks5Connect;
  lpRequest[2] = 0;
  lpRequest[3] = nAtyp;
  memcpy(lpRequest + 4, lpAddress, nAddress);
  PutPort(nPort, lpRequest + 4 + nAddress);
  return 4 + nAddress + 2;
}

// SOCKS5 CONNECT to the 4 address bytes at lpAddress (network order).
inline int BuildSocks5AddressRequest(BYTE* lpRequest, const BYTE* lpAddress, unsigned int nPort) {
  return BuildSocks5Request(lpRequest, kSocks5AtypIPv4, lpAddress, 4, nPort);
}

// SOCKS5 CONNECT to the 16 address bytes of an IPv6 address at lpAddress.
inline int BuildSocks5Ipv6Request(BYTE* lpRequest, const BYTE* lpAddress, unsigned int nPort) {
  return BuildSocks5Request(lpRequest, kSocks5AtypIPv6, lpAddress, 16, nPort);
}

// SOCKS5 CONNECT to a name, which the proxy resolves: its length byte,
// then its characters. 0 for a name longer than the buffer holds.
inline int BuildSocks5NameRequest(BYTE* lpRequest, const char* lpszName, unsigned int nPort) {
  const int nName = lstrlenA(lpszName);
  if (nName > 255) return 0;
  BYTE address[1 + 255];
  address[0] = static_cast<BYTE>(nName);
  memcpy(address + 1, lpszName, nName);
  return BuildSocks5Request(lpRequest, kSocks5AtypName, address, 1 + nName, nPort);
}

#endif  // QBSOCKS_NEGOTIATION_H
