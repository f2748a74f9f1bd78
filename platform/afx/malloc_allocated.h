// Memory from malloc for the C interface's objects and arrays: a failure
// gives NULL, never an exception, and the MSVC-ABI flavour's module needs
// no C++ run-time for it (MSVCRT.DLL's malloc and free).
#ifndef QBSOCKS_PLATFORM_AFX_MALLOC_ALLOCATED_H
#define QBSOCKS_PLATFORM_AFX_MALLOC_ALLOCATED_H

#include <stdlib.h>
#include <string.h>

namespace qbafx {

// A base whose new gives NULL when out of memory.
struct MallocAllocated {
  static void* operator new(size_t size) noexcept { return malloc(size); }
  static void operator delete(void* p) noexcept { free(p); }
};

// A plain array that grows by doubling, to at least wanted items; false
// when out of memory (the array is then as it was).
template <typename T>
bool ReserveArray(T*& items, int& capacity, int wanted) {
  if (wanted <= capacity) return true;
  int grown = capacity > 0 ? capacity * 2 : 64;
  while (grown < wanted) grown *= 2;
  T* larger =
      static_cast<T*>(malloc(sizeof(T) * static_cast<size_t>(grown)));  // MSVCRT.DLL's import list has no realloc
  if (larger == nullptr) return false;
  if (capacity > 0) memcpy(larger, items, sizeof(T) * static_cast<size_t>(capacity));
  free(items);
  items = larger;
  capacity = grown;
  return true;
}

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_MALLOC_ALLOCATED_H
