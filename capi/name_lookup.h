// Stand-in until the library's resolver is merged: each lookup on a
// thread of its own, AF_UNSPEC, in the system's order. The interface is
// the resolver's; the connect engine uses nothing else of this file.
#ifndef QBSOCKS_CAPI_NAME_LOOKUP_H
#define QBSOCKS_CAPI_NAME_LOOKUP_H

#include "afx/malloc_allocated.h"
#include "afx/thread_start.h"
#include "afx/wake.h"
#include "win32.h"

#include <stddef.h>
#include <stdint.h>

namespace qbsocks_c {

// One address a name has, as connect() takes it (AF_INET or AF_INET6; port left 0).
struct FoundAddress {
  SOCKADDR_STORAGE address;
  int length;
};

// One connect's wait for the addresses of a name (AF_UNSPEC, in the system's order).
class NameLookup : public qbafx::MallocAllocated {
 public:
  // Null when no thread or wake can be had, with *error and *why.
  static NameLookup* Start(const char* name, int* error, const char** why);
  // The connect's part ends: after it the lookup is the thread's alone.
  void Release();
  uintptr_t Handle() const { return wake_.Handle(); }  // readable once the answer is in
  bool Done() const;
  // Once Done: the addresses (0 when the lookup failed), and its error then.
  int Count() const { return count_; }
  const FoundAddress& Address(int index) const { return found_[index]; }
  int Error() const { return error_; }

 private:
  static const int kMost = 16;
  NameLookup() = default;
  ~NameLookup();
  static void RunOnThread(void* lookup);
  void Run();

  volatile LONG refs_ = 2;  // the connect's and the thread's
  volatile LONG done_ = 0;
  char* name_ = nullptr;
  qbafx::DetachedThread thread_;
  qbafx::Wake wake_;
  FoundAddress found_[kMost] = {};
  int count_ = 0;
  int error_ = 0;
};

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_NAME_LOOKUP_H
