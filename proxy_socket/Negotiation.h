// What the SOCKS4 and SOCKS5 negotiations share.
#ifndef QBSOCKS_NEGOTIATION_H
#define QBSOCKS_NEGOTIATION_H

#include "win32.h"

#include <string.h>

// How long one reply may take, from just before its first receive.
const DWORD kReplyBudgetMs = 10000;
// How often the wait comes back to look at the budget.
const int kPumpIntervalMs = 100;
// Every request is built in a zero-filled buffer of this size.
const int kRequestBufferSize = 256;

// The two texts with which a negotiation refuses the target's host text
// before it sends anything for it (the C interface tells them from the
// proxy's refusals): a name through SOCKS4; a text that is neither dotted
// IPv4 nor a name, or a name too long for the SOCKS5 request.
const char kSocks4NameRefusal[] = "SOCKS4 can't resolve domain name, you should use IP address";
const char kNameResolveFailure[] = "General name resolve failure";

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

// Writes the port's low 16 bits, most significant byte first.
inline void PutPort(unsigned int nPort, BYTE* lpOut) {
  const unsigned short nNetPort = htons(static_cast<unsigned short>(nPort));
  memcpy(lpOut, &nNetPort, 2);
}

#endif  // QBSOCKS_NEGOTIATION_H
