// The stack cookie that code compiled with /GS checks, which a C run-time
// would otherwise supply: the cookie itself, its start-up value, and the
// check the compiler calls before a protected function returns. A failed
// check ends the process at once, as a stack buffer overrun: the frame can
// no longer be trusted to return through.
#include "msvc/crt_init.h"

#include "win32.h"

extern "C" UINT_PTR __security_cookie;

namespace {

// The value the image carries until start-up replaces it; the loader
// recognises it and may give the cookie a value of its own first.
#ifdef _WIN64
const UINT_PTR kDefaultCookie = 0x00002B992DDFA232;
// The top 16 bits stay zero, as the compilers' x64 run-times keep them.
const UINT_PTR kCookieMask = 0x0000FFFFFFFFFFFF;
#else
const UINT_PTR kDefaultCookie = 0xBB40E64E;
const UINT_PTR kCookieMask = 0xFFFFFFFF;
#endif

const unsigned int kStackCookieFailure = 2;  // FAST_FAIL_STACK_COOKIE_CHECK_FAILURE

// What differs between processes, threads and starts, without importing
// more than the module already does: the time stamp counter (what the
// performance counter reads), the tick count, where the stack lies for this
// thread and where the image was loaded.
__attribute__((no_stack_protector)) UINT_PTR MixedStartupValue() {
  UINT_PTR local = 0;
  const unsigned __int64 tsc = __rdtsc();
  UINT_PTR value = static_cast<UINT_PTR>(tsc) ^ static_cast<UINT_PTR>(tsc >> 32);
  value ^= static_cast<UINT_PTR>(GetTickCount()) << 16;
  value ^= reinterpret_cast<UINT_PTR>(&local);
  value ^= reinterpret_cast<UINT_PTR>(&__security_cookie) << 8;
  return value;
}

// Ends the process without unwinding, returning or running a handler, as
// a stack buffer overrun: Windows 8 and later (and Wine) do so for the
// fast-fail interrupt. Older systems have no such interrupt; there it
// faults, and the process ends as on any fault the host does not handle.
// Neither returns here. (A TerminateProcess fallback would add imports to
// the modules' tables, which hosts may have pinned.)
__declspec(noreturn) void ReportStackCookieFailure() { __fastfail(kStackCookieFailure); }

}  // namespace

extern "C" {

UINT_PTR __security_cookie = kDefaultCookie;

// Run first at the entry of a module or program. Where the loader has
// already replaced the default, its value stays.
__attribute__((no_stack_protector)) void __cdecl __security_init_cookie() {
  if (__security_cookie != kDefaultCookie) return;
  UINT_PTR cookie = MixedStartupValue() & kCookieMask;
  if (cookie == kDefaultCookie || cookie == 0) cookie = kDefaultCookie + 1;
  __security_cookie = cookie;
}

#ifdef _M_IX86
// x86 alone: its compilers pass the cookie in ECX (fastcall).
void __fastcall __security_check_cookie(UINT_PTR cookie) {
#else
void __cdecl __security_check_cookie(UINT_PTR cookie) {
#endif
  if (cookie != __security_cookie) ReportStackCookieFailure();
}

}  // extern "C"
