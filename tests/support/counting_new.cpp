// The global operator new and delete, counting per thread (see
// counting_new.h). A file of its own, so that no caller inlines them.
#include "support/counting_new.h"

#include <malloc.h>
#include <string.h>

#include <cstdlib>
#include <new>

namespace {

// Constant-initialised: usable by the first allocation of any thread.
thread_local unsigned long t_allocations = 0;

void* Allocate(std::size_t size) {
  ++t_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

thread_local std::string_view t_watched;
thread_local unsigned long t_freed_holding_watched = 0;

void Free(void* p) noexcept {
  if (p != nullptr && !t_watched.empty() &&
      ::memmem(p, ::malloc_usable_size(p), t_watched.data(), t_watched.size()) != nullptr) {
    ++t_freed_holding_watched;
  }
  std::free(p);
}

}  // namespace

namespace qbtest {

unsigned long ThreadAllocations() { return t_allocations; }

void WatchFreedBlocksFor(std::string_view bytes) { t_watched = bytes; }
unsigned long FreedBlocksHoldingWatched() { return t_freed_holding_watched; }

}  // namespace qbtest

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
