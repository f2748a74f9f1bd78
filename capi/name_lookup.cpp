#include "name_lookup.h"

#include "afx/socket_handover.h"
#include "afx/sockio.h"

#include <stdlib.h>
#include <string.h>

namespace qbsocks_c {

bool LookUpIpv4(const char* name, unsigned long* address, int* error) {
  if (qbafx::sockio::ResolveIpv4(name, address)) return true;
  *error = WSAGetLastError();
  return false;
}

NameLookup* NameLookup::Start(const char* name) {
  NameLookup* lookup = new NameLookup;
  if (lookup == nullptr) return nullptr;
  const size_t size = strlen(name) + 1;
  lookup->name_ = static_cast<char*>(malloc(size));
  if (lookup->name_ == nullptr || !lookup->wake_.Open()) {
    delete lookup;
    return nullptr;
  }
  memcpy(lookup->name_, name, size);
  // The thread may outlive the connect that started it. Nothing here is
  // shared between lookups, so a child of fork starts its own; the lookups
  // running in the parent at the fork are the parent's (their copies in the
  // child are never released).
  if (!lookup->thread_.Start(RunOnThread, lookup, qbafx::ThreadStack::kSmall)) {
    delete lookup;
    return nullptr;
  }
  return lookup;
}

NameLookup::~NameLookup() { free(name_); }

void NameLookup::RunOnThread(void* lookup) { static_cast<NameLookup*>(lookup)->Run(); }

void NameLookup::Run() {
  found_ = LookUpIpv4(name_, &address_, &error_);
  InterlockedExchange(&done_, 1);
  wake_.Signal();
  Release();
}

bool NameLookup::Done() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&done_), 0, 0) != 0; }

bool NameLookup::Found(unsigned long* address, int* error) const {
  *address = address_;
  *error = error_;
  return found_;
}

void NameLookup::Release() {
  // Interlocked exchange loop: the platform layer gives no decrement.
  LONG refs = InterlockedCompareExchange(&refs_, 0, 0);
  for (;;) {
    const LONG seen = InterlockedCompareExchange(&refs_, refs - 1, refs);
    if (seen == refs) break;
    refs = seen;
  }
  if (refs == 1) delete this;
}

}  // namespace qbsocks_c
