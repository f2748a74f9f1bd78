// Everything in which BSD sockets and Winsock differ, for the socket
// classes of the class-library stand-in: how a socket is opened, made
// non-blocking and non-inheritable, closed and waited on, and how a failed
// call's error becomes a Winsock error number. The classes call the plain
// socket functions (recv, send, bind, ...) themselves, with the types
// given here; after a failed one they call SaveSystemError().
//
// This file holds what both systems share; each system's own part
// (win/sockio.h, posix/sockio.h) follows it in the same namespace. Every
// helper that fails has set the last socket error (Windows numbering)
// before it returns.
#ifndef QBSOCKS_PLATFORM_AFX_SOCKIO_H
#define QBSOCKS_PLATFORM_AFX_SOCKIO_H

#include "socket_handover.h"  // MakeBlocking, CloseSocket
#include "win32.h"

namespace qbafx::sockio {

// Winsock's number for the SOL_SOCKET option level; BSD systems use another.
constexpr int kWinsockSolSocket = 0xffff;

// What a wait can report, as a bit mask.
enum Readiness : unsigned { kReadable = 1u, kWritable = 2u, kException = 4u };

}  // namespace qbafx::sockio

#ifdef _WIN32
#include "win/sockio.h"
#else
#include "posix/sockio.h"
#endif

#endif  // QBSOCKS_PLATFORM_AFX_SOCKIO_H
