#include "name_lookup.h"

#include "afx/sockio.h"

#include <stdlib.h>
#include <string.h>

namespace qbsocks_c {

namespace sys = qbafx::sockio::sys;

NameLookup* NameLookup::Start(const char* name, int* error, const char** why) {
  *error = WSAENOBUFS;
  *why = "no memory to look the name up";
  NameLookup* lookup = new NameLookup;
  if (lookup == nullptr) return nullptr;
  const size_t size = strlen(name) + 1;
  lookup->name_ = static_cast<char*>(malloc(size));
  if (lookup->name_ == nullptr || !lookup->wake_.Open()) {
    delete lookup;
    return nullptr;
  }
  memcpy(lookup->name_, name, size);
  if (!lookup->thread_.Start(RunOnThread, lookup, qbafx::ThreadStack::kSmall)) {
    *why = "no thread to look the name up";
    delete lookup;
    return nullptr;
  }
  return lookup;
}

NameLookup::~NameLookup() { free(name_); }

void NameLookup::RunOnThread(void* lookup) { static_cast<NameLookup*>(lookup)->Run(); }

void NameLookup::Run() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  const int rc = sys::getaddrinfo(name_, nullptr, &hints, &results);
  if (rc != 0) {
    error_ = qbafx::sockio::SaveResolveError(rc);
  } else {
    for (const addrinfo* p = results; p != nullptr && count_ < kMost; p = p->ai_next) {
      if ((p->ai_family != AF_INET && p->ai_family != AF_INET6) || p->ai_addr == nullptr ||
          p->ai_addrlen > sizeof(SOCKADDR_STORAGE))
        continue;
      memcpy(&found_[count_].address, p->ai_addr, p->ai_addrlen);
      found_[count_++].length = static_cast<int>(p->ai_addrlen);
    }
    freeaddrinfo(results);
    if (count_ == 0) error_ = WSANO_DATA;
  }
  InterlockedExchange(&done_, 1);
  wake_.Signal();
  Release();
}

bool NameLookup::Done() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&done_), 0, 0) != 0; }

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
