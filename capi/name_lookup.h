// The library's resolver: the lookups of names (the proxy's, or direct
// the target's) for every form of the C interface's connect. The system's
// resolver cannot be asked without blocking, and a connect must neither
// block its caller's loop nor wait past its bound or a cancel, so the
// lookups run on a few threads of the library's (kMostLookupThreads, as
// libuv's pool), started when first needed and kept for the process's
// life, from one queue. A lookup waits its turn there; its wait counts
// against the connect's bound, which the connect keeps itself.
//
// One lookup per name in flight: the connects that want the same name
// while it is queued or running share its getaddrinfo. Nothing is kept
// once the answer is handed out: the next connect asks again.
//
// Each connect's part (a NameLookup) has a wake of its own, which the
// resolver signals when the answer is in. Its Release leaves nothing of
// it behind: the wake is closed at once; a queued lookup that no connect
// waits for any more is dropped, and the answer of a running one is
// discarded when it comes.
#ifndef QBSOCKS_CAPI_NAME_LOOKUP_H
#define QBSOCKS_CAPI_NAME_LOOKUP_H

#include "afx/malloc_allocated.h"
#include "afx/wake.h"
#include "win32.h"

#include <stddef.h>
#include <stdint.h>

namespace qbsocks_c {

// At most this many threads look names up at once.
const int kMostLookupThreads = 4;

// One address a name has, as connect() takes it (AF_INET or AF_INET6; port left 0).
struct FoundAddress {
  SOCKADDR_STORAGE address;
  int length;
};

struct SharedLookup;
class Resolver;

// One connect's wait for the addresses of a name (AF_UNSPEC, in the system's order).
class NameLookup : public qbafx::MallocAllocated {
 public:
  // Queues the lookup on the library's resolver, or joins the one in flight
  // for the same name. Null when it cannot be had, with *error a Windows
  // Sockets or system number and *why a short static text of the reason:
  // the connect then fails with it (it never looks up on its own thread,
  // nor goes direct).
  static NameLookup* Start(const char* name, int* error, const char** why);
  // The connect's part ends: after this returns nothing of this connect is
  // left (its wake closed); a shared lookup that no connect waits for any
  // more is dropped or its answer discarded.
  void Release();
  // Readable once the answer is in: this connect's own wake.
  uintptr_t Handle() const { return wake_.Handle(); }
  bool Done() const;
  // Once Done: how many addresses (0 when the lookup failed), each, and the
  // resolver's error (a Windows Sockets number) when none.
  int Count() const;
  const FoundAddress& Address(int index) const;
  int Error() const;

 private:
  friend class Resolver;
  NameLookup() = default;
  ~NameLookup() = default;

  qbafx::Wake wake_;
  SharedLookup* shared_ = nullptr;
  // The other connects waiting for the same lookup (under the resolver's lock).
  NameLookup* previous_ = nullptr;
  NameLookup* next_ = nullptr;
  volatile LONG done_ = 0;
};

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_NAME_LOOKUP_H
