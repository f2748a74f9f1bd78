// Everything in which BSD sockets and Winsock differ, for the socket
// classes of the class-library stand-in: how a socket is opened, made
// non-blocking and non-inheritable, closed and waited on, and how a failed
// call's error becomes a Winsock error number. The classes call the plain
// socket functions (recv, send, bind, ...) themselves, with the types
// given here; after a failed one they call SaveSystemError().
//
// This file holds what both systems share and declares what each system's
// own part (win/sockio.h, posix/sockio.h) provides in the same namespace;
// the checks at its end make a system that lacks one fail to build. Every
// function that fails has set the last socket error (Windows numbering)
// before it returns.
#ifndef QBSOCKS_PLATFORM_AFX_SOCKIO_H
#define QBSOCKS_PLATFORM_AFX_SOCKIO_H

#include "afx/provides.h"
#include "afx/socket_handover.h"  // MakeBlocking, CloseSocket
#include "win32.h"

namespace qbafx::sockio {

// Winsock's number for the SOL_SOCKET option level; BSD systems use another.
constexpr int kWinsockSolSocket = 0xffff;

// What a wait can report, as a bit mask.
enum Readiness : unsigned { kReadable = 1u, kWritable = 2u, kException = 4u };

// A socket object's handle, read by a wait while another thread may Close
// it, and written by that Close: whole, and ordered with the state of the
// blocking call that the Close changes next. MSVC's volatile accesses of
// an aligned pointer-sized value are that on x86 and x64.
inline SOCKET LoadHandle(const SOCKET& hSocket) {
#ifdef _MSC_VER
  return *static_cast<const volatile SOCKET*>(&hSocket);
#else
  return __atomic_load_n(&hSocket, __ATOMIC_ACQUIRE);
#endif
}
inline void StoreHandle(SOCKET& hSocket, SOCKET hValue) {
#ifdef _MSC_VER
  *static_cast<volatile SOCKET*>(&hSocket) = hValue;
#else
  __atomic_store_n(&hSocket, hValue, __ATOMIC_RELEASE);
#endif
}

}  // namespace qbafx::sockio

#ifdef _WIN32
#include "win/sockio.h"
#else
#include "posix/sockio.h"
#endif

namespace qbafx::sockio {

// What each system provides. Its types:
//   NativeSocket  what the system's socket calls take for a socket
//   SockLen       the type of an address's length in those calls
//   kNoSigPipe    the send flag that keeps a closed peer from raising a
//                 signal (0 where none is raised)
//   kLongestConnectWaitMs  the longest a wait for a TCP connect may last
//                 before the socket is asked whether the connect failed,
//                 for waits that may not report a failed connect
//                 (0xFFFFFFFF: no limit, every wait reports it)
//   sys::         the socket calls (bind, connect, getaddrinfo, getpeername,
//                 getsockname, getsockopt, listen, recv, recvfrom, send,
//                 sendto, setsockopt, shutdown), through the system-call
//                 table, which counts them
// and its functions:
namespace declared {
// The system's handle of s; INVALID_SOCKET becomes the system's invalid one.
using Native = NativeSocket(SOCKET s);
// Saves the error of the failed system call as the last socket error and returns it.
using SaveSystemError = int();
// Saves getaddrinfo's result rc as the last socket error and returns it.
using SaveResolveError = int(int rc);
// The system's number of a socket option level given in Winsock's.
using NativeOptionLevel = int(int level);
// The Winsock number of an error read with SO_ERROR.
using WinsockNumber = int(int soError);
// Makes s non-blocking and not inherited by child processes; false on failure.
using MakeNonBlockingNoInherit = bool(SOCKET s);
// A new non-blocking, non-inherited socket of the type and address family
// (the class library's are AF_INET); INVALID_SOCKET on failure.
using OpenSocket = SOCKET(int type, int family);
// The next connection on listener, non-blocking and not inherited; INVALID_SOCKET on failure.
using AcceptSocket = SOCKET(SOCKET listener, SOCKADDR* addr, int* addrLen);
// Waits at most timeoutMs for the wanted Readiness bits: those seen, 0 when none came, -1 on failure.
using Wait = int(SOCKET s, unsigned wanted, int timeoutMs);
// A millisecond count for measuring waits, unaffected by tests' tick offsets.
using TickCount = DWORD();
}  // namespace declared

static_assert(sizeof(SockLen) != 0 && sizeof(kNoSigPipe) == sizeof(int) && sizeof(&sys::recv) != 0,
              "sockio: a system lacks SockLen, kNoSigPipe or sys:: (afx/sockio.h)");
static_assert(sizeof(kLongestConnectWaitMs) == sizeof(unsigned),
              "sockio: a system lacks kLongestConnectWaitMs (afx/sockio.h)");
QBAFX_PROVIDES(qbafx::sockio, Native);
QBAFX_PROVIDES(qbafx::sockio, SaveSystemError);
QBAFX_PROVIDES(qbafx::sockio, SaveResolveError);
QBAFX_PROVIDES(qbafx::sockio, NativeOptionLevel);
QBAFX_PROVIDES(qbafx::sockio, WinsockNumber);
QBAFX_PROVIDES(qbafx::sockio, MakeNonBlockingNoInherit);
QBAFX_PROVIDES(qbafx::sockio, OpenSocket);
QBAFX_PROVIDES(qbafx::sockio, AcceptSocket);
QBAFX_PROVIDES(qbafx::sockio, Wait);
QBAFX_PROVIDES(qbafx::sockio, TickCount);

}  // namespace qbafx::sockio

#endif  // QBSOCKS_PLATFORM_AFX_SOCKIO_H
