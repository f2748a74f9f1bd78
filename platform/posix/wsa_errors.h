// Translation of the system's error numbers into the numbering of Windows
// Sockets, for the socket layer built on POSIX sockets. Internal to qbafx
// (and to what links it in: qbsocks-cat says a socket error in words).
#ifndef QBSOCKS_PLATFORM_POSIX_WSA_ERRORS_H
#define QBSOCKS_PLATFORM_POSIX_WSA_ERRORS_H

namespace qbplatform {

// The WSAE* number that Winsock reports for what `errnum` (an errno value)
// says about a socket call.
int WsaErrorFromErrno(int errnum) noexcept;

// The errno value that names what the WSAE* number `wsaError` says (the
// reverse of WsaErrorFromErrno, for a text in the system's words); 0 when
// no errno value maps to it.
int ErrnoFromWsaError(int wsaError) noexcept;

// The WSA* number that Winsock's getaddrinfo returns for a getaddrinfo
// result `gaiError` (an EAI_* value); EAI_SYSTEM reads errno.
int WsaErrorFromResolveError(int gaiError) noexcept;

}  // namespace qbplatform

#endif  // QBSOCKS_PLATFORM_POSIX_WSA_ERRORS_H
