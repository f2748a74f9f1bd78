// Every text that a failed SOCKS4 or SOCKS5 negotiation hands MyMessageBox.
//
// The rule: each is spelt exactly as it stands here, its misspellings
// ("negotition", "failur", "becasue") and its final full stop included.
// Hosts, users of qbsocks-cat and of the C interface match on them, so a
// text is never corrected, reworded or translated; a new failure gets a
// new text.
#ifndef QBSOCKS_FAILURE_TEXTS_H
#define QBSOCKS_FAILURE_TEXTS_H

#include "win32.h"

#include <stddef.h>

// The two texts with which a negotiation refuses the target's host text
// before it sends anything for it (the C interface tells them from the
// proxy's refusals): a name through SOCKS4; a text that is neither dotted
// IPv4 nor a name, or a name too long for the SOCKS5 request.
const char kSocks4NameRefusal[] = "SOCKS4 can't resolve domain name, you should use IP address";
const char kNameResolveFailure[] = "General name resolve failure";
// The C interface's alone (CSocks takes no IPv6 address): an IPv6 target
// through SOCKS4, whose request has room for four address bytes.
const char kSocks4Ipv6Refusal[] = "SOCKS4 cannot carry an IPv6 address";

// A reply that is cut short, late, or not framed as the protocol says;
// also a refusal code that has no text of its own.
const char kNegotiationFailure[] = "General negotiation failure";

// SOCKS5's method negotiation.
const char kSocks5VersionFailure[] = "SOCKS5 version negotition failur";
const char kSocks5AuthFailure[] = "Username/password subnegotition failure";
const char kSocks5NoMethodFailure[] = "General SOCKS5 authentication failure";

// A proxy's refusal, by its code: SOCKS4's CD from 91, SOCKS5's REP from 1.
const char* const kSocks4Refusals[] = {
    "Request rejected or failed",
    "Request rejected becasue SOCKS server cannot connect to identd on the client",
    "Request rejected because the client program and identd report different user-ids",
};
const BYTE kSocks4FirstRefusal = 91;

const char* const kSocks5Refusals[] = {
    "General SOCKS server failure", "Connection not allowed by ruleset",
    "Network unreachable",          "Host unreachable",
    "Connection refused",           "TTL expired",
    "Command not supported",        "Address type not supported.",
};
const BYTE kSocks5FirstRefusal = 1;

// The text of refusal code nCode in a table that starts at code nFirst;
// kNegotiationFailure for a code the table does not hold.
template <size_t N>
const char* RefusalText(const char* const (&texts)[N], BYTE nFirst, BYTE nCode) {
  return nCode >= nFirst && static_cast<size_t>(nCode - nFirst) < N ? texts[nCode - nFirst] : kNegotiationFailure;
}

inline const char* Socks4RefusalText(BYTE cd) { return RefusalText(kSocks4Refusals, kSocks4FirstRefusal, cd); }
inline const char* Socks5RefusalText(BYTE rep) { return RefusalText(kSocks5Refusals, kSocks5FirstRefusal, rep); }

#endif  // QBSOCKS_FAILURE_TEXTS_H
