// The lookup of a name (the proxy's, or direct the target's) on a thread
// of the library's: the system's resolver cannot be asked without
// blocking, and a connect must neither block its caller's loop nor wait
// past its bound or a cancel. IPv4 only, as every connect of the library.
//
// The state is shared by the connect and the thread, and counted: a
// connect given up while its lookup runs leaves the thread to end it, and
// a lookup that ends late signals a wake that nobody watches any more.
#ifndef QBSOCKS_CAPI_NAME_LOOKUP_H
#define QBSOCKS_CAPI_NAME_LOOKUP_H

#include "afx/malloc_allocated.h"
#include "afx/thread_start.h"
#include "afx/wake.h"
#include "win32.h"

#include <stddef.h>
#include <stdint.h>

namespace qbsocks_c {

// The first IPv4 address of name (network order) on the calling thread;
// false with the resolver's error, a Windows Sockets number.
bool LookUpIpv4(const char* name, unsigned long* address, int* error);

class NameLookup : public qbafx::MallocAllocated {
 public:
  // Starts looking name up on a thread of its own; null when no thread or
  // wake can be had (the caller then looks it up itself).
  static NameLookup* Start(const char* name);
  // The connect's part: after it the lookup is the thread's alone.
  void Release();

  // Readable once the lookup is over.
  uintptr_t Handle() const { return wake_.Handle(); }
  bool Done() const;
  // Once Done: LookUpIpv4's result.
  bool Found(unsigned long* address, int* error) const;

  // The thread's work: looks up, signals, drops the thread's part.
  void Run();

 private:
  NameLookup() = default;
  ~NameLookup();
  static void RunOnThread(void* lookup);

  volatile LONG refs_ = 2;  // the connect's and the thread's
  volatile LONG done_ = 0;
  char* name_ = nullptr;
  qbafx::DetachedThread thread_;
  qbafx::Wake wake_;
  bool found_ = false;
  unsigned long address_ = 0;
  int error_ = 0;
};

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_NAME_LOOKUP_H
