// The load configuration directory, which the loader reads from every image
// and which a C run-time would otherwise supply: where the stack cookie
// lives, the table of safe exception handlers (x86) and control flow
// guard's data. Laid out as Microsoft's documentation of the PE format
// gives it, up to the long jump targets. The linker writes the tables and
// defines the symbols below that name them; it points the image's
// directory at _load_config_used.
#include <stddef.h>

#include "win32.h"

extern "C" {

extern UINT_PTR __security_cookie;  // security_cookie.cpp

// Defined by the linker. Every one is used by its address: a table's
// address is where it lies, a count's or the flags' address is its value
// (an absolute symbol, which needs no relocation when the image moves).
extern const char __guard_fids_table, __guard_fids_count, __guard_flags;
extern const char __guard_iat_table, __guard_iat_count;
extern const char __guard_longjmp_table, __guard_longjmp_count;
#ifdef _M_IX86
extern const char __safe_se_handler_table, __safe_se_handler_count;
#endif

// Defined below.
extern const void* const __guard_check_icall_fptr;
#ifdef _WIN64
extern const void* const __guard_dispatch_icall_fptr;
#endif

}  // extern "C"

// The documented layout; addresses are VAs, and every field that holds one
// or a linker-defined value is pointer-sized and initialised with an
// address, so that the structure is plain static data. GuardFlags is a
// DWORD: on x64 the field below spans it and CodeIntegrity's first two
// WORDs (Flags, Catalog), which the flags' zero upper half leaves 0.
struct QbLoadConfigDirectory {
  DWORD Size;
  DWORD TimeDateStamp;
  WORD MajorVersion;
  WORD MinorVersion;
  DWORD GlobalFlagsClear;
  DWORD GlobalFlagsSet;
  DWORD CriticalSectionDefaultTimeout;
  ULONG_PTR DeCommitFreeBlockThreshold;
  ULONG_PTR DeCommitTotalFreeThreshold;
  const void* LockPrefixTable;
  ULONG_PTR MaximumAllocationSize;
  ULONG_PTR VirtualMemoryThreshold;
#ifdef _WIN64
  ULONG_PTR ProcessAffinityMask;
  DWORD ProcessHeapFlags;
#else
  DWORD ProcessHeapFlags;
  ULONG_PTR ProcessAffinityMask;
#endif
  WORD CSDVersion;
  WORD DependentLoadFlags;
  const void* EditList;
  const void* SecurityCookie;
  const void* SEHandlerTable;
  const void* SEHandlerCount;
  const void* GuardCFCheckFunctionPointer;
  const void* GuardCFDispatchFunctionPointer;
  const void* GuardCFFunctionTable;
  const void* GuardCFFunctionCount;
  const void* GuardFlags;
#ifndef _WIN64
  WORD CodeIntegrityFlags;
  WORD CodeIntegrityCatalog;
#endif
  DWORD CodeIntegrityCatalogOffset;
  DWORD CodeIntegrityReserved;
  const void* GuardAddressTakenIatEntryTable;
  const void* GuardAddressTakenIatEntryCount;
  const void* GuardLongJumpTargetTable;
  const void* GuardLongJumpTargetCount;
};

// The offsets the documentation gives, x86's then x64's.
constexpr size_t ForArchitecture(size_t x86, size_t x64) { return sizeof(void*) == 8 ? x64 : x86; }
static_assert(offsetof(QbLoadConfigDirectory, SecurityCookie) == ForArchitecture(60, 88), "layout");
static_assert(offsetof(QbLoadConfigDirectory, GuardCFCheckFunctionPointer) == ForArchitecture(72, 112), "layout");
static_assert(offsetof(QbLoadConfigDirectory, GuardFlags) == ForArchitecture(88, 144), "layout");
static_assert(offsetof(QbLoadConfigDirectory, GuardAddressTakenIatEntryTable) == ForArchitecture(104, 160), "layout");
static_assert(sizeof(QbLoadConfigDirectory) == ForArchitecture(120, 192), "layout");

namespace {

// The check before an indirect call accepts every target here: where the
// system enforces control flow guard, the loader puts its own in the
// pointer below. x86 passes the target in ECX (fastcall).
#ifdef _M_IX86
void __fastcall CheckNothing(const void* /*target*/) {}
#else
void CheckNothing(const void* /*target*/) {}
#endif

// Every field not set here is 0.
constexpr QbLoadConfigDirectory LoadConfig() {
  QbLoadConfigDirectory config{};
  config.Size = sizeof(QbLoadConfigDirectory);
  config.SecurityCookie = &__security_cookie;
#ifdef _M_IX86  // SafeSEH is x86's alone: x64 finds handlers through its unwind tables
  config.SEHandlerTable = &__safe_se_handler_table;
  config.SEHandlerCount = &__safe_se_handler_count;
#endif
  config.GuardCFCheckFunctionPointer = &__guard_check_icall_fptr;
#ifdef _WIN64
  config.GuardCFDispatchFunctionPointer = &__guard_dispatch_icall_fptr;
#endif
  config.GuardCFFunctionTable = &__guard_fids_table;
  config.GuardCFFunctionCount = &__guard_fids_count;
  config.GuardFlags = &__guard_flags;
  config.GuardAddressTakenIatEntryTable = &__guard_iat_table;
  config.GuardAddressTakenIatEntryCount = &__guard_iat_count;
  config.GuardLongJumpTargetTable = &__guard_longjmp_table;
  config.GuardLongJumpTargetCount = &__guard_longjmp_count;
  return config;
}

}  // namespace

#ifdef _WIN64
// x64's guarded calls go through the dispatch pointer with the target in
// RAX: with no check, the call goes straight on to it.
extern "C" void QbDispatchWithoutCheck();
__asm__(
    ".text\n"
    ".globl QbDispatchWithoutCheck\n"
    "QbDispatchWithoutCheck:\n"
    "  jmp *%rax\n");
#endif

extern "C" {

// Read-only, as the run-times have them; the loader alone changes them.
const void* const __guard_check_icall_fptr = reinterpret_cast<const void*>(&CheckNothing);
#ifdef _WIN64
const void* const __guard_dispatch_icall_fptr = reinterpret_cast<const void*>(&QbDispatchWithoutCheck);
#endif

extern const QbLoadConfigDirectory _load_config_used;
constexpr QbLoadConfigDirectory _load_config_used = LoadConfig();

}  // extern "C"
