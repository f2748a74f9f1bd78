// The two byte streams of qbsocks-cat: input to the connection and the
// connection to output, moved by one poll loop so that neither direction
// ever waits for the other.
#ifndef QBSOCKS_TOOLS_CAT_RELAY_H
#define QBSOCKS_TOOLS_CAT_RELAY_H

#include "afxsock.h"

#include <string>

namespace qbcat {

// Relays until the input has ended (passed on as a half close of the
// connection) and the peer has closed with everything it sent written out.
// Uses the socket's non-blocking CAsyncSocket::Send/Receive. Returns an
// empty string when both directions finished cleanly, else the reason.
std::string Relay(CAsyncSocket& socket, int input, int output);

}  // namespace qbcat

#endif  // QBSOCKS_TOOLS_CAT_RELAY_H
