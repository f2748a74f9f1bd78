// The global operator new and delete, counting per thread (see
// counting_new.h). A file of its own, so that no caller inlines them.
#include "support/counting_new.h"

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

}  // namespace

namespace qbtest {

unsigned long ThreadAllocations() { return t_allocations; }

}  // namespace qbtest

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
