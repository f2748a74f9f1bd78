// The two byte streams of qbsocks-cat: standard input to the connection and
// the connection to standard output, moved so that neither direction ever
// waits for the other: by one poll loop on POSIX (relay_posix.cpp), by a
// thread per direction on Windows (relay_windows.cpp), whose standard input
// cannot be waited on together with a socket.
#ifndef QBSOCKS_TOOLS_CAT_RELAY_H
#define QBSOCKS_TOOLS_CAT_RELAY_H

#include "afxsock.h"

#include <memory>
#include <string>

namespace qbcat {

// Run first: makes the standard streams safe to relay (on POSIX, a missing
// one is opened on /dev/null, so that no socket takes its number, and a
// closed output is an error to report rather than SIGPIPE).
void PrepareStandardStreams();

// Relays until standard input has ended (passed on as a half close of the
// connection) and the peer has closed with everything it sent written out.
// The peer's end is passed on at once, whether or not the input has ended:
// once everything it sent is written, standard output is closed. A send
// that fails after that ends the relay like any other failure.
// Uses the socket's non-blocking CAsyncSocket::Send/Receive. Returns an
// empty string when both directions finished cleanly, else the reason.
// The socket is shared: after a failure the Windows relay may leave its
// input thread waiting on standard input until the process ends.
std::string RelayStandardStreams(const std::shared_ptr<CAsyncSocket>& socket);

// -F: why no socket can be passed on standard output (on POSIX: it is no
// Unix-domain socket; on Windows: never), or null where one can. Asked
// before connecting, so that a target sees no connection made for nothing.
const char* WhyNoSocketPassing();

// -F: passes the connected socket to the process at the other end of
// standard output (a Unix-domain socket: ssh's ProxyUseFdpass) and closes
// it here. Returns an empty string once passed, else the reason.
std::string PassSocketOnStandardOutput(SOCKET socket);

// A Windows Sockets error number in the system's words ("Connection
// refused" for 10061; on Windows any system error), "" where it has none.
std::string ErrorInWords(int error);

// "socket error 10061 (Connection refused)" for ("socket error", 10061),
// or the number alone where the system has no words for it.
inline std::string ErrorText(const std::string& kind, int error) {
  const std::string words = ErrorInWords(error);
  return kind + " " + std::to_string(error) + (words.empty() ? "" : " (" + words + ")");
}

}  // namespace qbcat

#endif  // QBSOCKS_TOOLS_CAT_RELAY_H
