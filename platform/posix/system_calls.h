// Every system call that the platform layer makes on POSIX, through one
// table of function pointers, each with a count of its calls. The platform
// code calls the wrappers in qbplatform::sys (sockio.h brings them in for
// the socket classes); nothing above the platform layer uses them.
//
// Tests replace one entry at a time (the tests' replaced_system_call.h) to
// make a call fail or fall short, and read the counts to see which calls a path makes.
// The entries are atomic so that a test may swap one while other threads
// run; the cost is a plain load on every call.
#ifndef QBSOCKS_PLATFORM_POSIX_SYSTEM_CALLS_H
#define QBSOCKS_PLATFORM_POSIX_SYSTEM_CALLS_H

#include "win32.h"

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

// X(name, result, (parameters), (arguments))
#define QB_SYSTEM_CALLS(X)                                                                                    \
  X(socket, int, (int domain, int type, int protocol), (domain, type, protocol))                              \
  X(connect, int, (int fd, const sockaddr* address, socklen_t length), (fd, address, length))                 \
  X(accept4, int, (int fd, sockaddr* address, socklen_t* length, int flags), (fd, address, length, flags))    \
  X(bind, int, (int fd, const sockaddr* address, socklen_t length), (fd, address, length))                    \
  X(listen, int, (int fd, int backlog), (fd, backlog))                                                        \
  X(getsockname, int, (int fd, sockaddr* address, socklen_t* length), (fd, address, length))                  \
  X(getpeername, int, (int fd, sockaddr* address, socklen_t* length), (fd, address, length))                  \
  X(getsockopt, int, (int fd, int level, int name, void* value, socklen_t* length),                           \
    (fd, level, name, value, length))                                                                         \
  X(setsockopt, int, (int fd, int level, int name, const void* value, socklen_t length),                      \
    (fd, level, name, value, length))                                                                         \
  X(shutdown, int, (int fd, int how), (fd, how))                                                              \
  X(send, ssize_t, (int fd, const void* buffer, size_t length, int flags), (fd, buffer, length, flags))       \
  X(recv, ssize_t, (int fd, void* buffer, size_t length, int flags), (fd, buffer, length, flags))             \
  X(sendto, ssize_t,                                                                                          \
    (int fd, const void* buffer, size_t length, int flags, const sockaddr* address, socklen_t addressLength), \
    (fd, buffer, length, flags, address, addressLength))                                                      \
  X(recvfrom, ssize_t,                                                                                        \
    (int fd, void* buffer, size_t length, int flags, sockaddr* address, socklen_t* addressLength),            \
    (fd, buffer, length, flags, address, addressLength))                                                      \
  X(poll, int, (pollfd * entries, nfds_t count, int timeoutMs), (entries, count, timeoutMs))                  \
  X(close, int, (int fd), (fd))                                                                               \
  X(fcntl, int, (int fd, int command, int argument), (fd, command, argument))                                 \
  X(getaddrinfo, int, (const char* node, const char* service, const addrinfo* hints, addrinfo** results),     \
    (node, service, hints, results))                                                                          \
  X(stat, int, (const char* path, struct stat* status), (path, status))                                       \
  X(open, int, (const char* path, int flags, mode_t mode), (path, flags, mode))                               \
  X(fstat, int, (int fd, struct stat* status), (fd, status))                                                  \
  X(read, ssize_t, (int fd, void* buffer, size_t length), (fd, buffer, length))                               \
  X(geteuid, uid_t, (), ())                                                                                   \
  X(getpwuid_r, int, (uid_t uid, passwd * entry, char* scratch, size_t size, passwd** found),                 \
    (uid, entry, scratch, size, found))                                                                       \
  X(clock_gettime, int, (clockid_t clock, timespec * now), (clock, now))                                      \
  X(eventfd, int, (unsigned int initial, int flags), (initial, flags))                                        \
  X(write, ssize_t, (int fd, const void* buffer, size_t length), (fd, buffer, length))                        \
  X(pthread_create, int,                                                                                      \
    (pthread_t * thread, const pthread_attr_t* attributes, void* (*run)(void*), void* argument),              \
    (thread, attributes, run, argument))

namespace qbplatform {

enum class SystemCall {
#define QB_SYSTEM_CALL_NAME(name, result, parameters, arguments) name,
  QB_SYSTEM_CALLS(QB_SYSTEM_CALL_NAME)
#undef QB_SYSTEM_CALL_NAME
      kCount
};

struct SystemCallTable {
#define QB_SYSTEM_CALL_ENTRY(name, result, parameters, arguments) std::atomic<result(*) parameters> name;
  QB_SYSTEM_CALLS(QB_SYSTEM_CALL_ENTRY)
#undef QB_SYSTEM_CALL_ENTRY
  std::atomic<unsigned long> counts[static_cast<int>(SystemCall::kCount)];
};

// Filled with the system's own functions before any code runs.
extern QBPLATFORM_API SystemCallTable g_systemCalls;

namespace sys {
#define QB_SYSTEM_CALL_WRAPPER(name, result, parameters, arguments)                                   \
  inline result name parameters {                                                                     \
    g_systemCalls.counts[static_cast<int>(SystemCall::name)].fetch_add(1, std::memory_order_relaxed); \
    return g_systemCalls.name.load(std::memory_order_relaxed) arguments;                              \
  }
QB_SYSTEM_CALLS(QB_SYSTEM_CALL_WRAPPER)
#undef QB_SYSTEM_CALL_WRAPPER
}  // namespace sys

}  // namespace qbplatform

#endif  // QBSOCKS_PLATFORM_POSIX_SYSTEM_CALLS_H
