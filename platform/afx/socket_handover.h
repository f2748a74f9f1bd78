// What code outside the class library needs to hand a socket the library
// connected to code that knows nothing of it (the C interface does): the
// socket made blocking again, or closed. Part of the class library's
// sources, not installed.
#ifndef QBSOCKS_PLATFORM_SOCKET_HANDOVER_H
#define QBSOCKS_PLATFORM_SOCKET_HANDOVER_H

#include "win32.h"

namespace qbafx::sockio {

// Blocking again, with no event selection left on it, as socket() gives
// one (close-on-exec, or no inheritance, stays). False with the last
// socket error set.
bool MakeBlocking(SOCKET s);

// Closes the socket; the last error stays as it was, since failure paths
// close after saving it.
void CloseSocket(SOCKET s);

}  // namespace qbafx::sockio

#endif  // QBSOCKS_PLATFORM_SOCKET_HANDOVER_H
