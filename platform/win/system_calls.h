// Every system call that the platform layer makes on Windows, through one
// table of function pointers, each with a count of its calls: the shape of
// posix/system_calls.h. The platform code calls the wrappers in
// qbplatform::sys (win/sockio.h brings them in for the socket classes).
//
// Tests replace one entry at a time to make a call fail or answer as
// another user's token would (Wine cannot impersonate), and read the counts
// to see which calls a path makes. A null entry is the system's own: the
// table is zero-initialised data, so that nothing runs before a module's
// entry, and no import changes. Each module has its own table (an inline
// variable: qbafx.dll's exports are fixed), so a test reaches the calls of
// the code it links in.
#ifndef QBSOCKS_PLATFORM_WIN_SYSTEM_CALLS_H
#define QBSOCKS_PLATFORM_WIN_SYSTEM_CALLS_H

#include "win32.h"

#include <ws2tcpip.h>

// X(name, result, calling convention, (parameters), (arguments)): the
// system's own functions, then the entries of our own over them.
#define QB_SYSTEMS_OWN_CALLS(X)                                                                                    \
  X(WSASocketW, SOCKET, WSAAPI,                                                                                    \
    (int af, int type, int protocol, LPWSAPROTOCOL_INFOW info, GROUP group, DWORD flags),                          \
    (af, type, protocol, info, group, flags))                                                                      \
  X(accept, SOCKET, WSAAPI, (SOCKET s, sockaddr * address, int* length), (s, address, length))                     \
  X(bind, int, WSAAPI, (SOCKET s, const sockaddr* address, int length), (s, address, length))                      \
  X(connect, int, WSAAPI, (SOCKET s, const sockaddr* address, int length), (s, address, length))                   \
  X(listen, int, WSAAPI, (SOCKET s, int backlog), (s, backlog))                                                    \
  X(getsockname, int, WSAAPI, (SOCKET s, sockaddr * address, int* length), (s, address, length))                   \
  X(getpeername, int, WSAAPI, (SOCKET s, sockaddr * address, int* length), (s, address, length))                   \
  X(getsockopt, int, WSAAPI, (SOCKET s, int level, int name, char* value, int* length),                            \
    (s, level, name, value, length))                                                                               \
  X(setsockopt, int, WSAAPI, (SOCKET s, int level, int name, const char* value, int length),                       \
    (s, level, name, value, length))                                                                               \
  X(shutdown, int, WSAAPI, (SOCKET s, int how), (s, how))                                                          \
  X(send, int, WSAAPI, (SOCKET s, const char* buffer, int length, int flags), (s, buffer, length, flags))          \
  X(recv, int, WSAAPI, (SOCKET s, char* buffer, int length, int flags), (s, buffer, length, flags))                \
  X(sendto, int, WSAAPI,                                                                                           \
    (SOCKET s, const char* buffer, int length, int flags, const sockaddr* address, int addressLength),             \
    (s, buffer, length, flags, address, addressLength))                                                            \
  X(recvfrom, int, WSAAPI, (SOCKET s, char* buffer, int length, int flags, sockaddr* address, int* addressLength), \
    (s, buffer, length, flags, address, addressLength))                                                            \
  X(select, int, WSAAPI, (int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, timeval* timeout),      \
    (count, readSet, writeSet, exceptSet, timeout))                                                                \
  X(ioctlsocket, int, WSAAPI, (SOCKET s, long command, u_long* argument), (s, command, argument))                  \
  X(closesocket, int, WSAAPI, (SOCKET s), (s))                                                                     \
  X(WSAEventSelect, int, WSAAPI, (SOCKET s, WSAEVENT event, long events), (s, event, events))                      \
  X(getaddrinfo, int, WSAAPI, (const char* node, const char* service, const addrinfo* hints, addrinfo** results),  \
    (node, service, hints, results))                                                                               \
  X(CreateThread, HANDLE, WINAPI,                                                                                  \
    (LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE run, LPVOID argument, DWORD flags,       \
     LPDWORD id),                                                                                                  \
    (security, stack, run, argument, flags, id))                                                                   \
  X(OpenThreadToken, BOOL, WINAPI, (HANDLE thread, DWORD access, BOOL asSelf, PHANDLE token),                      \
    (thread, access, asSelf, token))                                                                               \
  X(GetTokenInformation, BOOL, WINAPI,                                                                             \
    (HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID info, DWORD size, PDWORD written),                         \
    (token, kind, info, size, written))

#define QB_SYSTEM_CALLS(X) \
  QB_SYSTEMS_OWN_CALLS(X)  \
  X(RegOpenUsersKey, LONG, WINAPI, (HKEY users, LPCSTR sid, PHKEY key), (users, sid, key))

namespace qbplatform {

// The system's own functions, as the table's entries call them.
namespace native {
#define QB_USE_SYSTEMS_OWN(name, result, convention, parameters, arguments) using ::name;
QB_SYSTEMS_OWN_CALLS(QB_USE_SYSTEMS_OWN)
#undef QB_USE_SYSTEMS_OWN
// RegOpenKeyA under HKEY_USERS\<SID>, an entry of its own so that a test
// can stand in for another user's hive and leave every other key alone.
inline LONG WINAPI RegOpenUsersKey(HKEY users, LPCSTR sid, PHKEY key) { return RegOpenKeyA(users, sid, key); }
}  // namespace native

enum class SystemCall {
#define QB_SYSTEM_CALL_NAME(name, result, convention, parameters, arguments) name,
  QB_SYSTEM_CALLS(QB_SYSTEM_CALL_NAME)
#undef QB_SYSTEM_CALL_NAME
      kCount
};

// volatile: a test may swap an entry while other threads run (an aligned
// pointer is read and written whole on Windows).
struct SystemCallTable {
#define QB_SYSTEM_CALL_ENTRY(name, result, convention, parameters, arguments) \
  result(convention* volatile name) parameters;
  QB_SYSTEM_CALLS(QB_SYSTEM_CALL_ENTRY)
#undef QB_SYSTEM_CALL_ENTRY
  volatile LONG counts[static_cast<int>(SystemCall::kCount)];
};

inline SystemCallTable g_systemCalls;

namespace sys {
#define QB_SYSTEM_CALL_WRAPPER(name, result, convention, parameters, arguments)      \
  inline result name parameters {                                                    \
    InterlockedIncrement(&g_systemCalls.counts[static_cast<int>(SystemCall::name)]); \
    result(convention* const replaced) parameters = g_systemCalls.name;              \
    return replaced != NULL ? replaced arguments : native::name arguments;           \
  }
QB_SYSTEM_CALLS(QB_SYSTEM_CALL_WRAPPER)
#undef QB_SYSTEM_CALL_WRAPPER
}  // namespace sys

}  // namespace qbplatform

#endif  // QBSOCKS_PLATFORM_WIN_SYSTEM_CALLS_H
