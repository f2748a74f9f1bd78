// Waits on sockets for the C interface: on many at once for its thread of
// callback connects (SocketWatch), on one and a wake for a connect that
// runs to its end on the caller's thread (WaitForSocketOrWake). Each
// system's part (win/socket_watch.h: WSAPoll and select; posix/socket_watch.h:
// epoll and poll) gives, in namespace qbafx:
//
// class SocketWatch: the sockets watched, each through a WatchedSocket of
//   its owner's, and the wake (afx/wake.h), always watched for readable.
//   bool Open(uintptr_t wake)   false when the system gives no wait
//   bool Reserve(int count)     room for count sockets; false when out of memory
//   bool Watch(WatchedSocket* watched, uintptr_t socket, unsigned wanted)
//                               watches socket for the sockio::Readiness
//                               bits wanted (again: as now said); false
//                               when the system refused it
//   void BeforePoll(WatchedSocket* watched)  before its owner acts on the
//                               socket, which may close it
//   void Unwatch(WatchedSocket* watched)     no longer watched (any number of times)
//   template <typename Advance> bool WaitAndAdvance(int timeoutMs, Advance advance)
//                               waits at most timeoutMs (-1: no limit) and
//                               calls advance(owner) for each watched socket
//                               that is ready; true when the wake was signalled
//
// void WaitForSocketOrWake(uintptr_t socket, unsigned wanted, uintptr_t wake, unsigned timeoutMs)
//   sleeps until socket is ready as wanted (kReadable, or else kWritable;
//   a failed connect ends it too), wake (kNoWake: none) is readable, or
//   timeoutMs (kNoTimeLimit: none) has passed; a signal may end it early.
#ifndef QBSOCKS_PLATFORM_AFX_SOCKET_WATCH_H
#define QBSOCKS_PLATFORM_AFX_SOCKET_WATCH_H

#include "afx/sockio.h"

#include <stdint.h>

namespace qbafx {

const uintptr_t kNoWake = ~static_cast<uintptr_t>(0);
const unsigned kNoTimeLimit = 0xFFFFFFFFu;

// One watched socket, kept by its owner for the SocketWatch.
struct WatchedSocket {
  explicit WatchedSocket(void* watcher) : owner(watcher) {}
  void* owner;            // what advance is called with
  bool watching = false;  // in the system's wait
  uintptr_t socket = 0;   // the socket watched
  int slot = 0;           // Windows: its place in the poll array
};

}  // namespace qbafx

#ifdef _WIN32
#include "win/socket_watch.h"
#else
#include "posix/socket_watch.h"
#endif

namespace qbafx::declared {
using WaitForSocketOrWake = void(uintptr_t socket, unsigned wanted, uintptr_t wake, unsigned timeoutMs);
}  // namespace qbafx::declared
QBAFX_PROVIDES(qbafx, WaitForSocketOrWake);

#endif  // QBSOCKS_PLATFORM_AFX_SOCKET_WATCH_H
