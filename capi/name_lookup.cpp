#include "name_lookup.h"

#include "afx/sockio.h"
#include "afx/sync.h"
#include "afx/thread_start.h"

#include <stdlib.h>
#include <string.h>

namespace qbsocks_c {

namespace sys = qbafx::sockio::sys;

// One getaddrinfo and the connects that want its answer. The resolver's
// lock guards all but the answer, which the thread writes before any
// connect is told it is in, and which nothing changes after.
struct SharedLookup : qbafx::MallocAllocated {
  enum class State { kQueued, kRunning, kAnswered };

  char* name = nullptr;
  State state = State::kQueued;
  unsigned generation = 0;  // the process's (a forked child's lookups are its own)
  // The connects' parts: those waiting (until answered), and how many hold
  // it (waiting, or answered and not yet released).
  NameLookup* waiting = nullptr;
  int parts = 0;
  // In flight (queued or running), oldest first.
  SharedLookup* previous = nullptr;
  SharedLookup* next = nullptr;
  // The answer.
  FoundAddress* addresses = nullptr;
  int count = 0;
  int error = 0;

  ~SharedLookup() {
    free(name);
    free(addresses);
  }
};

namespace {

qbafx::RecursiveLock g_lock;
qbafx::Semaphore g_work;  // a post for each lookup queued
// Under g_lock:
SharedLookup* g_oldest = nullptr;  // the lookups in flight
SharedLookup* g_newest = nullptr;
int g_queued = 0;   // of them, waiting for a thread
int g_threads = 0;  // the resolver's threads
int g_idle = 0;     // of them, not looking a name up
unsigned g_generation = 0;

// Names that differ in case alone are one name.
bool SameName(const char* a, const char* b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  while (*a != '\0' && lower(*a) == lower(*b)) ++a, ++b;
  return *a == *b;
}

// Copies the usable addresses of a getaddrinfo's answer.
void TakeAnswer(SharedLookup* shared, int rc, const addrinfo* results) {
  if (rc != 0) {
    shared->error = qbafx::sockio::SaveResolveError(rc);
    return;
  }
  const auto usable = [](const addrinfo* p) {
    return (p->ai_family == AF_INET || p->ai_family == AF_INET6) && p->ai_addr != nullptr &&
           p->ai_addrlen <= sizeof(SOCKADDR_STORAGE);
  };
  int count = 0;
  for (const addrinfo* p = results; p != nullptr; p = p->ai_next) count += usable(p) ? 1 : 0;
  if (count == 0) {
    shared->error = WSANO_DATA;  // as the system says of a name without addresses
    return;
  }
  // Each entry is written whole below: no zeroing first.
  shared->addresses = static_cast<FoundAddress*>(malloc(sizeof(FoundAddress) * static_cast<size_t>(count)));
  if (shared->addresses == nullptr) {
    shared->error = WSAENOBUFS;
    return;
  }
  for (const addrinfo* p = results; p != nullptr; p = p->ai_next) {
    if (!usable(p)) continue;
    FoundAddress& found = shared->addresses[shared->count++];
    memset(&found.address, 0, sizeof(found.address));
    memcpy(&found.address, p->ai_addr, p->ai_addrlen);  // no service asked: port 0
    found.length = static_cast<int>(p->ai_addrlen);
  }
}

}  // namespace

// The queue, the threads, and the parts' links. Everything under g_lock.
class Resolver {
 public:
  static bool Join(NameLookup* part, const char* name, int* error, const char** why) {
    qbafx::LockGuard lock(g_lock);
    SharedLookup* shared = g_oldest;
    while (shared != nullptr && !SameName(shared->name, name)) shared = shared->next;
    if (shared == nullptr && (shared = Queue(name, error, why)) == nullptr) return false;
    part->shared_ = shared;
    part->next_ = shared->waiting;
    if (part->next_ != nullptr) part->next_->previous_ = part;
    shared->waiting = part;
    ++shared->parts;
    return true;
  }

  static void Leave(NameLookup* part) {
    qbafx::LockGuard lock(g_lock);
    SharedLookup* shared = part->shared_;
    if (shared->generation != g_generation) return;  // the parent's, before a fork: left as it is
    if (shared->state != SharedLookup::State::kAnswered) {
      (part->previous_ != nullptr ? part->previous_->next_ : shared->waiting) = part->next_;
      if (part->next_ != nullptr) part->next_->previous_ = part->previous_;
    }
    if (--shared->parts > 0) return;
    if (shared->state == SharedLookup::State::kQueued) {  // dropped: no thread takes it
      --g_queued;
      Unlink(shared);
    }
    if (shared->state != SharedLookup::State::kRunning) delete shared;  // a running one: its thread
  }

  // fork: the child has no thread of the resolver's. The lookups in flight
  // at the fork stay the parent's; the child's first lookup starts a thread.
  static void ForgetInChild() {
    g_oldest = g_newest = nullptr;
    g_queued = g_threads = g_idle = 0;
    ++g_generation;
  }

 private:
  // A new lookup at the end of the queue, with a thread to take it; null,
  // with the reason, when there is none and none can be had.
  static SharedLookup* Queue(const char* name, int* error, const char** why) {
    SharedLookup* shared = new SharedLookup;
    const size_t size = strlen(name) + 1;
    if (shared == nullptr || (shared->name = static_cast<char*>(malloc(size))) == nullptr) {
      delete shared;
      *error = WSAENOBUFS;
      *why = "out of memory";
      return nullptr;
    }
    memcpy(shared->name, name, size);
    shared->generation = g_generation;
    shared->previous = g_newest;
    (g_newest != nullptr ? g_newest->next : g_oldest) = shared;
    g_newest = shared;
    ++g_queued;
    if (g_queued > g_idle && g_threads < kMostLookupThreads && !StartThread() && g_threads == 0) {
      *error = WSAGetLastError();
      *why = "no thread to look the name up";
      --g_queued;
      Unlink(shared);
      delete shared;
      return nullptr;
    }
    g_work.Post();
    return shared;
  }

  static void Unlink(SharedLookup* shared) {
    (shared->previous != nullptr ? shared->previous->next : g_oldest) = shared->next;
    (shared->next != nullptr ? shared->next->previous : g_newest) = shared->previous;
    shared->previous = shared->next = nullptr;
  }

  // The thread's start, which the thread frees.
  struct ThreadStart : qbafx::MallocAllocated {
    qbafx::DetachedThread thread;
  };

  static bool StartThread() {
    ThreadStart* start = new ThreadStart;
    if (start == nullptr) return WSASetLastError(WSAENOBUFS), false;
    if (!start->thread.Start(Serve, start, qbafx::ThreadStack::kSmall)) {
      delete start;
      return false;
    }
    ++g_threads;
    ++g_idle;
    return true;
  }

  // A thread of the resolver's: lives as long as the process, taking the
  // oldest queued lookup whenever there is one.
  static void Serve(void* start) {
    delete static_cast<ThreadStart*>(start);
    for (;;) {
      g_work.Wait();
      SharedLookup* shared = TakeQueued();
      if (shared == nullptr) continue;  // dropped after its post
      addrinfo hints;
      memset(&hints, 0, sizeof(hints));
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* results = nullptr;
      const int rc = sys::getaddrinfo(shared->name, nullptr, &hints, &results);
      TakeAnswer(shared, rc, results);
      if (rc == 0) freeaddrinfo(results);
      HandOut(shared);
    }
  }

  static SharedLookup* TakeQueued() {
    qbafx::LockGuard lock(g_lock);
    SharedLookup* shared = g_oldest;
    while (shared != nullptr && shared->state != SharedLookup::State::kQueued) shared = shared->next;
    if (shared == nullptr) return nullptr;
    shared->state = SharedLookup::State::kRunning;
    --g_queued;
    --g_idle;
    return shared;
  }

  // The answer to every connect that waits for it, or discarded when none
  // does any more; the name is no longer in flight.
  static void HandOut(SharedLookup* shared) {
    qbafx::LockGuard lock(g_lock);
    ++g_idle;
    Unlink(shared);
    shared->state = SharedLookup::State::kAnswered;
    if (shared->parts == 0) {
      delete shared;
      return;
    }
    for (NameLookup* part = shared->waiting; part != nullptr; part = part->next_) {
      InterlockedExchange(&part->done_, 1);
      part->wake_.Signal();
    }
    shared->waiting = nullptr;
  }
};

namespace {
void ForgetResolverInChild() { Resolver::ForgetInChild(); }
[[maybe_unused]] qbafx::HeldAcrossFork<g_lock, ForgetResolverInChild> g_forkHandlers;
}  // namespace

NameLookup* NameLookup::Start(const char* name, int* error, const char** why) {
  NameLookup* part = new NameLookup;
  if (part == nullptr) {
    *error = WSAENOBUFS;
    *why = "out of memory";
    return nullptr;
  }
  if (!part->wake_.Open()) {
    *error = WSAGetLastError();
    *why = "no handle to wait for the name lookup on";
  } else if (Resolver::Join(part, name, error, why)) {
    return part;
  }
  delete part;
  return nullptr;
}

void NameLookup::Release() {
  Resolver::Leave(this);
  delete this;  // closes the wake
}

bool NameLookup::Done() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&done_), 0, 0) != 0; }

int NameLookup::Count() const { return shared_->count; }

const FoundAddress& NameLookup::Address(int index) const { return shared_->addresses[index]; }

int NameLookup::Error() const { return shared_->error; }

}  // namespace qbsocks_c
