// The Winsock part of afx/sockio.h, which includes it after the part both
// systems share. Every Winsock call goes through the system-call table.
#ifndef QBSOCKS_PLATFORM_WIN_SOCKIO_H
#define QBSOCKS_PLATFORM_WIN_SOCKIO_H

#include "win/system_calls.h"

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace qbafx::sockio {

// The socket calls, for the socket classes to call as sys::recv(...) and
// so on: the system-call table's.
namespace sys = qbplatform::sys;

using SockLen = int;
using NativeSocket = SOCKET;
constexpr int kNoSigPipe = 0;  // Winsock never raises signals
// WSAPoll before Windows 10 version 2004 (and Server 2019) never reports a
// connect that failed: a wait for one ends this often to ask the socket.
constexpr unsigned kLongestConnectWaitMs = 500;

inline NativeSocket Native(SOCKET s) { return s; }

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

// Non-blocking, and not inherited by child processes.
inline bool MakeNonBlockingNoInherit(SOCKET s) {
  u_long on = 1;
  if (sys::ioctlsocket(s, FIONBIO, &on) != 0) return false;
  // Best effort: some layered providers refuse it, and a socket that a
  // child inherits is no fault of this process's own use of it.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return true;
}

// Overlapped, as socket() makes them: the socket the C interface hands
// over may go to an I/O completion port (asyncio's Proactor, .NET, Asio),
// and a blocking receive on one thread does not hold up a send on another.
inline SOCKET OpenSocket(int type, int family = AF_INET) {
  SOCKET s = sys::WSASocketW(family, type, 0, NULL, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    s = sys::WSASocketW(family, type, 0, NULL, 0, WSA_FLAG_OVERLAPPED);  // before Windows 7 SP1
  }
  if (s == INVALID_SOCKET) return s;
  if (!MakeNonBlockingNoInherit(s)) {
    CloseSocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

inline SOCKET AcceptSocket(SOCKET listener, SOCKADDR* addr, int* addrLen) {
  SOCKET s = sys::accept(listener, addr, addrLen);
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
  int rc = sys::select(0, &readSet, &writeSet, &exceptSet, &timeout);
  if (rc == SOCKET_ERROR) return -1;
  WSASetLastError(saved);
  unsigned seen = 0;
  if (FD_ISSET(s, &readSet)) seen |= kReadable;
  if (FD_ISSET(s, &writeSet)) seen |= kWritable;
  if (FD_ISSET(s, &exceptSet)) seen |= kException | wanted;  // caller finds out what failed
  return static_cast<int>(seen);
}

// A millisecond count for measuring waits: the system's tick count.
inline DWORD TickCount() { return GetTickCount(); }

}  // namespace qbafx::sockio

#endif  // QBSOCKS_PLATFORM_WIN_SOCKIO_H
