// What code outside the class library needs to connect as it does and hand
// the socket to code that knows nothing of it (the C interface does): a
// name's IPv4 address, the socket made blocking again, or closed. Part of
// the class library's sources, not installed.
#ifndef QBSOCKS_PLATFORM_SOCKET_HANDOVER_H
#define QBSOCKS_PLATFORM_SOCKET_HANDOVER_H

#include "win32.h"

namespace qbafx::sockio {

// The first IPv4 address of a name, as CAsyncSocket::Connect looks it up;
// false with the resolver's error as the last socket error.
bool ResolveIpv4(LPCSTR lpszHost, unsigned long* pNetworkAddress);

// Blocking again, with no event selection left on it, as socket() gives
// one (close-on-exec, or no inheritance, stays). False with the last
// socket error set.
bool MakeBlocking(SOCKET s);

// Closes the socket; the last error stays as it was, since failure paths
// close after saving it.
void CloseSocket(SOCKET s);

}  // namespace qbafx::sockio

#endif  // QBSOCKS_PLATFORM_SOCKET_HANDOVER_H
