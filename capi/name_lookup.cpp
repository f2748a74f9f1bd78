#include "name_lookup.h"

#include "afx/socket_handover.h"
#include "afx/sockio.h"

#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <pthread.h>
#endif

namespace qbsocks_c {

bool LookUpIpv4(const char* name, unsigned long* address, int* error) {
  if (qbafx::sockio::ResolveIpv4(name, address)) return true;
  *error = WSAGetLastError();
  return false;
}

void* NameLookup::operator new(size_t size) noexcept { return malloc(size); }
void NameLookup::operator delete(void* p) noexcept { free(p); }

namespace {

#ifdef _WIN32
// The thread holds the module loaded until its last instruction: a host
// may unload it while the lookup of a connect it gave up still runs.
HMODULE g_module = nullptr;

DWORD WINAPI RunLookup(LPVOID lookup) {
  static_cast<NameLookup*>(lookup)->Run();
  FreeLibraryAndExitThread(g_module, 0);
}

bool StartThread(NameLookup* lookup) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&RunLookup), &module))
    return false;
  g_module = module;  // the same module every time
  const HANDLE thread =
      CreateThread(nullptr, 64 * 1024, RunLookup, lookup, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    FreeLibrary(module);
    return false;
  }
  CloseHandle(thread);
  return true;
}
#else
// The thread may outlive the connect that started it, and return into the
// library after the host's dlclose: the library is linked -z nodelete, so
// that its code stays mapped. Nothing here is shared between lookups, so a
// child of fork starts its own; the lookups running in the parent at the
// fork are the parent's (their copies in the child are never released).
void* RunLookup(void* lookup) {
  static_cast<NameLookup*>(lookup)->Run();
  return nullptr;
}

bool StartThread(NameLookup* lookup) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, 256 * 1024);  // the resolver's needs, not the default 8 MiB
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, RunLookup, lookup) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}
#endif

}  // namespace

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
  if (!StartThread(lookup)) {
    delete lookup;
    return nullptr;
  }
  return lookup;
}

NameLookup::~NameLookup() { free(name_); }

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
