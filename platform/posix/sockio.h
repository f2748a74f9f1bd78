// The BSD-sockets part of afx/sockio.h, which includes it after the part
// both systems share. Every call goes through the system-call table.
#ifndef QBSOCKS_PLATFORM_POSIX_SOCKIO_H
#define QBSOCKS_PLATFORM_POSIX_SOCKIO_H

#include "win32_posix/clock.h"
#include "posix/system_calls.h"
#include "posix/wsa_errors.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace qbafx::sockio {

// The socket calls, for the socket classes to call as sys::recv(...) and
// so on: the system-call table's.
namespace sys = qbplatform::sys;

using SockLen = socklen_t;
using NativeSocket = int;
constexpr int kNoSigPipe = MSG_NOSIGNAL;
constexpr unsigned kLongestConnectWaitMs = 0xFFFFFFFFu;  // poll reports a failed connect

inline NativeSocket Native(SOCKET s) { return static_cast<int>(s); }  // INVALID_SOCKET becomes -1

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

inline int NativeOptionLevel(int level) { return level == kWinsockSolSocket ? SOL_SOCKET : level; }

inline int WinsockNumber(int soError) { return qbplatform::WsaErrorFromErrno(soError); }

inline bool MakeNonBlockingNoInherit(SOCKET s) {
  int fd = Native(s);
  int statusFlags = sys::fcntl(fd, F_GETFL, 0);
  int descriptorFlags = statusFlags == -1 ? -1 : sys::fcntl(fd, F_GETFD, 0);
  if (descriptorFlags == -1 || sys::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) == -1 ||
      sys::fcntl(fd, F_SETFD, descriptorFlags | FD_CLOEXEC) == -1) {
    SaveSystemError();
    return false;
  }
  return true;
}

inline SOCKET OpenSocket(int type, int family = AF_INET) {
  int fd = sys::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd == -1) {
    SaveSystemError();
    return INVALID_SOCKET;
  }
  return static_cast<SOCKET>(fd);
}

inline SOCKET AcceptSocket(SOCKET listener, SOCKADDR* addr, int* addrLen) {
  SockLen len = addrLen != NULL ? static_cast<SockLen>(*addrLen) : 0;
  int fd = sys::accept4(Native(listener), addr, addrLen != NULL ? &len : NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd == -1) {
    SaveSystemError();
    return INVALID_SOCKET;
  }
  if (addrLen != NULL) *addrLen = static_cast<int>(len);
  return static_cast<SOCKET>(fd);
}

// A signal ends the wait as the time passing does. So does wakeFd, an
// eventfd that another thread signals (-1: none): woken tells that it was
// signalled, for its owner to clear.
inline int WaitOrWake(SOCKET s, unsigned wanted, int timeoutMs, int wakeFd, bool& woken) {
  pollfd entries[2] = {};
  pollfd& entry = entries[0];
  entry.fd = Native(s);
  if (wanted & kReadable) entry.events |= POLLIN;
  if (wanted & kWritable) entry.events |= POLLOUT;
  if (wanted & kException) entry.events |= POLLPRI;
  entries[1].fd = wakeFd;
  entries[1].events = POLLIN;
  int rc = sys::poll(entries, wakeFd != -1 ? 2 : 1, timeoutMs);
  if (rc == -1) {
    if (errno == EINTR) return 0;
    SaveSystemError();
    return -1;
  }
  woken = (entries[1].revents & POLLIN) != 0;
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

inline int Wait(SOCKET s, unsigned wanted, int timeoutMs) {
  bool woken = false;
  return WaitOrWake(s, wanted, timeoutMs, -1, woken);
}

// A millisecond count for measuring waits: the monotonic clock under the
// GetTickCount stand-in, without the offset that tests give that one.
inline DWORD TickCount() { return qbplatform::MonotonicMilliseconds(); }

}  // namespace qbafx::sockio

#endif  // QBSOCKS_PLATFORM_POSIX_SOCKIO_H
