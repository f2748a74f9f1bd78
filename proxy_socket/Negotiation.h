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
