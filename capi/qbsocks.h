/* qbsocks.h: the C interface of QBSocks32. A socket connected to a host
 * through the SOCKS4 or SOCKS5 proxy that the current user's settings name
 * (HKEY_CURRENT_USER\Software\Quillbrook\Game\Share\Proxy), or directly when
 * they turn the proxy off, handed over to the caller: for C programs, other
 * languages, and MFC applications, which attach it to their own CSocket.
 *
 * Plain C; includes no Windows or MFC header. On x86 Windows every function
 * is __stdcall (QBSOCKS_CALL) and exported under its undecorated name, as
 * the system's own DLLs do; elsewhere the platform's C convention. The host
 * starts the socket layer itself (WSAStartup or AfxSocketInit) before it
 * connects. See qbsocks(3). */
#ifndef QBSOCKS_H
#define QBSOCKS_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64) && (defined(_M_IX86) || defined(__i386__))
#define QBSOCKS_CALL __stdcall
#else
#define QBSOCKS_CALL
#endif

#if defined(_WIN32)
#ifdef QBSOCKS_C_BUILD
#define QBSOCKS_C_API /* the .def file exports them */
#else
#define QBSOCKS_C_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QBSOCKS_C_API __attribute__((visibility("default")))
#else
#define QBSOCKS_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The results of qbsocks_connect and qbsocks_connect_timeout. A number
 * never changes meaning. */
#define QBSOCKS_OK 0                 /* connected: *socket_out is the caller's */
#define QBSOCKS_PROXY_UNREACHABLE 1  /* the proxy server could not be reached */
#define QBSOCKS_PROXY_FAILED 2       /* the proxy refused, or the negotiation failed */
#define QBSOCKS_TARGET_UNREACHABLE 3 /* the direct connect to the target failed */
#define QBSOCKS_NO_SOCKET 4          /* no socket could be created (socket layer not started?) */
#define QBSOCKS_BAD_ARGUMENT 5       /* host or socket_out is null */
#define QBSOCKS_BAD_TARGET 6         /* the proxy path cannot carry this host text (a name
                                        through SOCKS4, neither dotted IPv4 nor a name, a
                                        name too long for SOCKS5); nothing was sent for it */
#define QBSOCKS_TIMED_OUT 7          /* qbsocks_connect_timeout's bound ran out */
#define QBSOCKS_SETTINGS_UNREADABLE 8 /* the settings exist but cannot be read: nothing was sent */

/* No socket: all bits set (INVALID_SOCKET on Windows; never a descriptor). */
#define QBSOCKS_NO_HANDLE (~(uintptr_t)0)

/* Connects to host (dotted IPv4 text or a name) at port, as CSocks::Connect
 * does: the settings are read at every call. On QBSOCKS_OK, *socket_out
 * holds the connected socket (a SOCKET on Windows, a descriptor elsewhere),
 * in blocking mode, with no event selection on it and not inherited by
 * child processes (on Windows overlapped, as socket() makes one, so that
 * it may go to an I/O completion port); it is the caller's to close. On failure *socket_out is
 * QBSOCKS_NO_HANDLE and every socket opened was closed. When reason is not
 * null, the reason in the library's own words is written to it (NUL-
 * terminated, cut to reason_size bytes; "" on success). */
QBSOCKS_C_API int QBSOCKS_CALL qbsocks_connect(const char* host, unsigned int port,
                                              uintptr_t* socket_out, char* reason,
                                              size_t reason_size);

/* As qbsocks_connect, with the whole call bounded by timeout_ms (0: no
 * bound beyond the library's own, as qbsocks_connect). When the bound runs
 * out the result is QBSOCKS_TIMED_OUT, every socket opened is closed, and
 * the reason names the step it was waiting for ("timed out after 2000 ms
 * waiting for the proxy's reply"). The call returns within the bound and a
 * few tens of milliseconds, except while the system looks up a name (the
 * proxy's or, direct, the target's), which it cannot cut short. */
QBSOCKS_C_API int QBSOCKS_CALL qbsocks_connect_timeout(const char* host, unsigned int port,
                                                      unsigned int timeout_ms, uintptr_t* socket_out,
                                                      char* reason, size_t reason_size);

/* The path the settings choose now, without connecting: "direct",
 * "SOCKS4 proxy 127.0.0.1:1080", "SOCKS5 proxy 127.0.0.1:1080 as alice",
 * or "direct: " and why when ProxyEnable is on but another value turns the
 * proxy off ("direct: SocksVersion is 0, not 4 or 5"), or, when the
 * settings exist but cannot be read, the reason qbsocks_connect gives
 * ("Cannot read the proxy settings: access denied"). Writes at most size
 * bytes, terminator included, when text is not null; returns the length of
 * the whole text, as snprintf does. The text is ASCII but for the
 * settings' own texts in it (the server, the user name), which are the
 * bytes the library reads and sends: UTF-8 on Linux (the settings file's
 * text), the ANSI code page on Windows (as RegQueryValueExA gives them). */
QBSOCKS_C_API size_t QBSOCKS_CALL qbsocks_route(char* text, size_t size);

/* The library's version, such as "1.1.0". */
QBSOCKS_C_API const char* QBSOCKS_CALL qbsocks_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QBSOCKS_H */
