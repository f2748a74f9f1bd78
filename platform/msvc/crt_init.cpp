// The part of a C run-time's start-up that modules and programs of the
// MSVC-ABI flavour need, there being no run-time for that target here:
// running the constructors of globals (which the compiler lists between the
// .CRT$XCA and .CRT$XCZ markers) and, in reverse order, the functions that
// atexit registered (the destructors of globals among them).
#include "msvc/crt_init.h"

namespace {

typedef void(__cdecl* Initializer)(void);

// The linker sorts the .CRT$XC* sections by their suffix, so the compiler's
// .CRT$XCU entries lie between these two.
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
__declspec(allocate(".CRT$XCA")) const Initializer g_pfnFirst = 0;
__declspec(allocate(".CRT$XCZ")) const Initializer g_pfnLast = 0;

// A module registers a handful at most; more than this fails atexit.
const int kMaxExitFunctions = 64;
Initializer g_exitFunctions[kMaxExitFunctions];
int g_nExitFunctions = 0;

}  // namespace

extern "C" int __cdecl atexit(void(__cdecl* pfn)(void)) {
  if (g_nExitFunctions == kMaxExitFunctions) return -1;
  g_exitFunctions[g_nExitFunctions++] = pfn;
  return 0;
}

void QbRunInitializers() {
  for (const Initializer* p = &g_pfnFirst + 1; p < &g_pfnLast; ++p) {
    if (*p != 0) (*p)();
  }
}

void QbRunExitFunctions() {
  while (g_nExitFunctions > 0) g_exitFunctions[--g_nExitFunctions]();
}
