// The translation of the system's error numbers into the numbering of
// Windows Sockets (wsa_errors.h), for the socket stand-in built on POSIX
// sockets.
#include "posix/wsa_errors.h"

#include "win32.h"

#include <netdb.h>

#include <cerrno>

namespace qbplatform {

namespace {

struct ErrnoAndWsa {
  int errnum;
  int wsaError;
};

// Each errno value a socket call reports, with the WSAE* number Winsock
// reports for the same condition. Where several errno values share one
// number, its namesake comes first: ErrnoFromWsaError gives that one back.
constexpr ErrnoAndWsa kErrnoToWsa[] = {
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    // A non-blocking connect under way: Winsock reports it as WSAEWOULDBLOCK,
    // and callers written for Windows test for exactly that.
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {EINTR, WSAEINTR},
    {ENOTSOCK, WSAENOTSOCK},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {ENOTSUP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    // EPIPE: sending on a connection that can no longer carry data. Almost
    // always the peer has gone (it closed, we got its reset); Winsock reports
    // that case as WSAECONNRESET, so a caller sees the same error on both
    // systems. The rarer cause, our own shutdown of the sending side, would
    // be WSAESHUTDOWN on Windows, but errno does not tell the two apart.
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

}  // namespace

int WsaErrorFromErrno(int errnum) noexcept {
  if (errnum == 0) return 0;
  for (const ErrnoAndWsa& pair : kErrnoToWsa)
    if (pair.errnum == errnum) return pair.wsaError;
  // Anything else has no Winsock counterpart; call it an invalid argument
  // rather than report success or an unrelated network condition.
  return WSAEINVAL;
}

int ErrnoFromWsaError(int wsaError) noexcept {
  for (const ErrnoAndWsa& pair : kErrnoToWsa)
    if (pair.wsaError == wsaError) return pair.errnum;
  return 0;
}

int WsaErrorFromResolveError(int gaiError) noexcept {
  switch (gaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_SYSTEM: return WsaErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
  }
}

}  // namespace qbplatform
