// Everything in which BSD sockets and Winsock differ, for the socket
// classes of the class-library stand-in: how a socket is opened, made
// non-blocking and non-inheritable, closed and waited on, and how a failed
// call's error becomes a Winsock error number. The classes call the plain
// socket functions (recv, send, bind, ...) themselves, with the types
// given here; after a failed one they call SaveSystemError().
//
// Every helper here that fails has set the last socket error (Windows
// numbering) before it returns.
#ifndef QBSOCKS_PLATFORM_AFX_SOCKIO_H
#define QBSOCKS_PLATFORM_AFX_SOCKIO_H

#include "win32.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include "posix/wsa_errors.h"
#include "system_calls.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qbafx::sockio {

// Winsock's number for the SOL_SOCKET option level; BSD systems use another.
constexpr int kWinsockSolSocket = 0xffff;

// What a wait can report, as a bit mask.
enum Readiness : unsigned { kReadable = 1u, kWritable = 2u, kException = 4u };

#ifdef _WIN32

using SockLen = int;
constexpr int kNoSigPipe = 0;  // Winsock never raises signals

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

inline SOCKET Native(SOCKET s) { return s; }

// Winsock already keeps the last error in its own numbering.
inline int SaveSystemError() { return WSAGetLastError(); }

// getaddrinfo returns a Winsock error number itself.
inline int SaveResolveError(int rc) {
  WSASetLastError(rc);
  return rc;
}

inline int NativeOptionLevel(int level) { return level; }

// The Winsock number for a value read with SO_ERROR.
inline int WinsockNumber(int soError) { return soError; }

inline void CloseSocket(SOCKET s) {
  int saved = WSAGetLastError();
  closesocket(s);
  WSASetLastError(saved);
}

inline bool MakeNonBlocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// Non-blocking, and not inherited by child processes.
inline bool MakeNonBlockingNoInherit(SOCKET s) {
  if (!MakeNonBlocking(s)) return false;
  // Best effort: some layered providers refuse it, and a socket that a
  // child inherits is no fault of this process's own use of it.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return true;
}

// Blocking again, with no event selection left on it, as socket() gives
// one: how a socket is handed to code that knows nothing of this library.
// Winsock refuses FIONBIO while an event selection stands, so that goes
// first.
inline bool MakeBlocking(SOCKET s) {
  WSAEventSelect(s, NULL, 0);
  u_long off = 0;
  return ioctlsocket(s, FIONBIO, &off) == 0;
}

// Overlapped, as socket() makes them: the socket the C interface hands
// over may go to an I/O completion port (asyncio's Proactor, .NET, Asio),
// and a blocking receive on one thread does not hold up a send on another.
inline SOCKET OpenSocket(int type) {
  SOCKET s = WSASocketW(AF_INET, type, 0, NULL, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    s = WSASocketW(AF_INET, type, 0, NULL, 0, WSA_FLAG_OVERLAPPED);  // before Windows 7 SP1
  }
  if (s == INVALID_SOCKET) return s;
  if (!MakeNonBlockingNoInherit(s)) {
    CloseSocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

inline SOCKET AcceptSocket(SOCKET listener, SOCKADDR* addr, int* addrLen) {
  SOCKET s = accept(listener, addr, addrLen);
  if (s == INVALID_SOCKET) return s;
  if (!MakeNonBlockingNoInherit(s)) {
    CloseSocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// select rather than WSAPoll: WSAPoll did not report a failed connect
// before Windows 10 2004; select does, in the exception set.
inline int Wait(SOCKET s, unsigned wanted, int timeoutMs) {
  fd_set readSet, writeSet, exceptSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  if (wanted & kReadable) FD_SET(s, &readSet);
  if (wanted & kWritable) FD_SET(s, &writeSet);
  FD_SET(s, &exceptSet);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  // A select that succeeds may clear the last error (Wine's does); the
  // caller's failed call, which it is waiting to retry, keeps its error.
  const int saved = WSAGetLastError();
  int rc = select(0, &readSet, &writeSet, &exceptSet, &timeout);
  if (rc == SOCKET_ERROR) return -1;
  WSASetLastError(saved);
  unsigned seen = 0;
  if (FD_ISSET(s, &readSet)) seen |= kReadable;
  if (FD_ISSET(s, &writeSet)) seen |= kWritable;
  if (FD_ISSET(s, &exceptSet)) seen |= kException | wanted;  // caller finds out what failed
  return static_cast<int>(seen);
}

#else  // POSIX

using SockLen = socklen_t;
constexpr int kNoSigPipe = MSG_NOSIGNAL;

inline int Native(SOCKET s) { return static_cast<int>(s); }  // INVALID_SOCKET becomes -1

inline int SaveSystemError() {
  int error = qbplatform::WsaErrorFromErrno(errno);
  WSASetLastError(error);
  return error;
}

inline int SaveResolveError(int rc) {
  int error = qbplatform::WsaErrorFromResolveError(rc);
  WSASetLastError(error);
  return error;
}

inline int NativeOptionLevel(int level) {
  return level == kWinsockSolSocket ? SOL_SOCKET : level;
}

inline int WinsockNumber(int soError) { return qbplatform::WsaErrorFromErrno(soError); }

// Closing never changes the last error: failure paths close after saving it.
inline void CloseSocket(SOCKET s) {
  int savedErrno = errno;
  qbplatform::sys::close(Native(s));  // on Linux the descriptor is gone even after EINTR
  errno = savedErrno;
}

inline bool MakeNonBlockingNoInherit(SOCKET s) {
  int fd = Native(s);
  namespace sys = qbplatform::sys;
  int statusFlags = sys::fcntl(fd, F_GETFL, 0);
  int descriptorFlags = statusFlags == -1 ? -1 : sys::fcntl(fd, F_GETFD, 0);
  if (descriptorFlags == -1 || sys::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) == -1 ||
      sys::fcntl(fd, F_SETFD, descriptorFlags | FD_CLOEXEC) == -1) {
    SaveSystemError();
    return false;
  }
  return true;
}

// Blocking again, as socket() gives one (close-on-exec stays): how a
// socket is handed to code that knows nothing of this library.
inline bool MakeBlocking(SOCKET s) {
  int fd = Native(s);
  int statusFlags = qbplatform::sys::fcntl(fd, F_GETFL, 0);
  if (statusFlags == -1 || qbplatform::sys::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) == -1) {
    SaveSystemError();
    return false;
  }
  return true;
}

inline SOCKET OpenSocket(int type) {
  int fd = qbplatform::sys::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd == -1) {
    SaveSystemError();
    return INVALID_SOCKET;
  }
  return static_cast<SOCKET>(fd);
}

inline SOCKET AcceptSocket(SOCKET listener, SOCKADDR* addr, int* addrLen) {
  SockLen len = addrLen != NULL ? static_cast<SockLen>(*addrLen) : 0;
  int fd = qbplatform::sys::accept4(Native(listener), addr, addrLen != NULL ? &len : NULL,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd == -1) {
    SaveSystemError();
    return INVALID_SOCKET;
  }
  if (addrLen != NULL) *addrLen = static_cast<int>(len);
  return static_cast<SOCKET>(fd);
}

// Waits at most timeoutMs for the wanted readiness. Returns the readiness
// seen (0 when the time passed or a signal came), or -1 on failure.
inline int Wait(SOCKET s, unsigned wanted, int timeoutMs) {
  pollfd entry{};
  entry.fd = Native(s);
  if (wanted & kReadable) entry.events |= POLLIN;
  if (wanted & kWritable) entry.events |= POLLOUT;
  if (wanted & kException) entry.events |= POLLPRI;
  int rc = qbplatform::sys::poll(&entry, 1, timeoutMs);
  if (rc == -1) {
    if (errno == EINTR) return 0;
    SaveSystemError();
    return -1;
  }
  if (entry.revents & POLLNVAL) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  unsigned seen = 0;
  if (entry.revents & POLLIN) seen |= kReadable;
  if (entry.revents & POLLOUT) seen |= kWritable;
  if (entry.revents & POLLPRI) seen |= kException;
  if (entry.revents & (POLLERR | POLLHUP)) seen |= kException | wanted;  // caller finds out what
  return static_cast<int>(seen);
}

#endif  // _WIN32

// The socket calls that both systems have, for the socket classes to call as
// sys::recv(...) and so on: Winsock's own, or the POSIX system-call table's.
#ifdef _WIN32
namespace sys {
using ::bind;
using ::connect;
using ::getaddrinfo;
using ::getpeername;
using ::getsockname;
using ::getsockopt;
using ::listen;
using ::recv;
using ::recvfrom;
using ::send;
using ::sendto;
using ::setsockopt;
using ::shutdown;
}  // namespace sys
#else
namespace sys = qbplatform::sys;
#endif

// A millisecond count for measuring waits: the system's tick count on
// Windows, the monotonic clock elsewhere (not the GetTickCount stand-in,
// whose offset tests move).
inline DWORD TickCount() {
#ifdef _WIN32
  return GetTickCount();
#else
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000u +
                            static_cast<unsigned long long>(now.tv_nsec) / 1000000u);
#endif
}

// Interlocked operations on a value that other threads change too; both
// return the value it had before.
inline LONG AtomicExchange(volatile LONG* target, LONG value) {
  return InterlockedExchange(target, value);
}

inline LONG AtomicCompareExchange(volatile LONG* target, LONG value, LONG expected) {
  return InterlockedCompareExchange(target, value, expected);
}

inline LONG AtomicLoad(const volatile LONG* target) {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(target), 0, 0);
}

}  // namespace qbafx::sockio

#endif  // QBSOCKS_PLATFORM_AFX_SOCKIO_H
