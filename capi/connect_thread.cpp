// qbsocks_connect_async: the callback connects, carried out by one thread
// of the library's that waits on every pending connect at once. Each is a
// connect of the caller-driven form (qbsocks_connect_start, _poll,
// _finish), polled when its handle is ready as its qbsocks_wait says, when
// its deadline comes, or at once when its cancel handle is triggered; then
// finished, and its callback run on the thread.
//
// The thread starts with the first connect and ends when none has been
// pending for a quarter of a second.
// Whether it runs is decided under one lock, by the thread that hands a
// connect over and by the thread that would end, so that a connect never
// lands on a thread that has decided to end.
#include "connect_thread.h"

#include "cancel.h"
#include "connect_engine.h"
#include "wake.h"
#include "afx/sockio.h"  // TickCount
#include "afx/sync.h"

#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <errno.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <new>
#include <unistd.h>
#endif

namespace qbsocks_c {

namespace {

class ConnectThread;

// Allocated with malloc: a failure gives NULL, never an exception.
struct MallocAllocated {
  static void* operator new(size_t size) noexcept { return malloc(size); }
  static void operator delete(void* p) noexcept { free(p); }
};

// One callback connect, from qbsocks_connect_async until its callback.
struct PendingConnect : MallocAllocated {
  qbsocks_connecting* connecting = nullptr;
  qbsocks_cancel* cancel = nullptr;
  qbsocks_connect_callback callback = nullptr;
  void* context = nullptr;
  ConnectThread* thread = nullptr;
  CancelWaker waker;         // on the cancel handle's list while pending
  bool watching = false;     // its handle is in the thread's wait
  uintptr_t watched = 0;     // that handle
  int slot = 0;              // Windows: its place in the poll array
  bool hasDeadline = false;  // in the deadline heap, at heapIndex
  int heapIndex = 0;
  DWORD deadline = 0;                 // TickCount at which to poll it, ready or not
  PendingConnect* nextNew = nullptr;  // the queue of connects handed over
  bool woken = false;                 // on the list of connects whose cancel was triggered
  PendingConnect* nextWoken = nullptr;
};

// Guards which thread runs (g_running) and its two lists that other
// threads add to. Never held while a cancel handle's lock is taken: a
// trigger takes that one first, then this one (WakeForCancel).
qbafx::RecursiveLock g_lock;
ConnectThread* g_running = nullptr;

// (a - b) as a signed count of milliseconds, through the tick count's wrap.
LONG TicksBetween(DWORD a, DWORD b) { return static_cast<LONG>(a - b); }

// A plain array that grows by doubling; false when out of memory.
template <typename T>
bool Reserve(T*& items, int& capacity, int wanted) {
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

// The pending connects' deadlines, nearest first: a binary heap over a
// plain array, each connect knowing its place so that it can move or leave.
class DeadlineHeap {
 public:
  ~DeadlineHeap() { free(m_items); }
  bool Reserve(int count) { return qbsocks_c::Reserve(m_items, m_capacity, count); }
  bool Empty() const { return m_count == 0; }
  PendingConnect* Nearest() const { return m_items[0]; }

  void Set(PendingConnect* connect, DWORD deadline) {
    if (connect->hasDeadline) Remove(connect);
    connect->deadline = deadline;
    connect->hasDeadline = true;
    Place(connect, m_count++);
    SiftUp(connect->heapIndex);
  }

  void Remove(PendingConnect* connect) {
    if (!connect->hasDeadline) return;
    connect->hasDeadline = false;
    const int at = connect->heapIndex;
    PendingConnect* last = m_items[--m_count];
    if (at == m_count) return;
    Place(last, at);
    SiftUp(at);
    SiftDown(last->heapIndex);
  }

 private:
  static bool Earlier(const PendingConnect* a, const PendingConnect* b) {
    return TicksBetween(a->deadline, b->deadline) < 0;
  }
  void Place(PendingConnect* connect, int at) {
    m_items[at] = connect;
    connect->heapIndex = at;
  }
  void SiftUp(int at) {
    while (at > 0 && Earlier(m_items[at], m_items[(at - 1) / 2])) {
      PendingConnect* parent = m_items[(at - 1) / 2];
      Place(m_items[at], (at - 1) / 2);
      Place(parent, at);
      at = (at - 1) / 2;
    }
  }
  void SiftDown(int at) {
    for (;;) {
      int earliest = at;
      for (int child = 2 * at + 1; child <= 2 * at + 2 && child < m_count; ++child)
        if (Earlier(m_items[child], m_items[earliest])) earliest = child;
      if (earliest == at) return;
      PendingConnect* moved = m_items[earliest];
      Place(m_items[at], earliest);
      Place(moved, at);
      at = earliest;
    }
  }

  PendingConnect** m_items = nullptr;
  int m_capacity = 0;
  int m_count = 0;
};

#ifdef _WIN32
// WSAPoll over one array: the wake's socket first, then each pending
// connect's handle. Each turn costs a pass over the array, which for
// thousands of sockets is still far below the connects' own work, and it
// takes any number of sockets (select stops at FD_SETSIZE; I/O completion
// ports would need the connects' reads to be overlapped operations of
// ours). WSAPoll before Windows 10 2004 does not report a connect that
// failed: the connect's own wait ends within kLongestConnectWaitMs while
// its TCP connect goes on, and the poll then finds out.
class SocketWatch {
 public:
  ~SocketWatch() {
    free(m_polls);
    free(m_connects);
  }
  bool Open(uintptr_t wake) {
    if (!Reserve(1)) return false;
    m_polls[0].fd = static_cast<SOCKET>(wake);
    m_polls[0].events = POLLRDNORM;
    return true;
  }
  bool Reserve(int connects) {
    return qbsocks_c::Reserve(m_polls, m_pollCapacity, connects + 1) &&
           qbsocks_c::Reserve(m_connects, m_connectCapacity, connects + 1);
  }
  bool Watch(PendingConnect* connect, const qbsocks_wait& wait) {
    if (!connect->watching) {
      connect->slot = m_count++;
      m_connects[connect->slot] = connect;
      connect->watching = true;
    }
    connect->watched = wait.socket;
    m_polls[connect->slot].fd = static_cast<SOCKET>(wait.socket);
    m_polls[connect->slot].events = static_cast<SHORT>(((wait.events & QBSOCKS_WAIT_READABLE) ? POLLRDNORM : 0) |
                                                       ((wait.events & QBSOCKS_WAIT_WRITABLE) ? POLLWRNORM : 0));
    m_polls[connect->slot].revents = 0;
    return true;
  }
  // The array is only read by WSAPoll on this thread: a handle the poll
  // closes stays in it, untouched, until Watch or Unwatch after the poll.
  void BeforePoll(PendingConnect*) {}
  void Unwatch(PendingConnect* connect) {
    if (!connect->watching) return;
    connect->watching = false;
    const int last = --m_count;
    if (connect->slot != last) {
      m_polls[connect->slot] = m_polls[last];
      m_connects[connect->slot] = m_connects[last];
      m_connects[connect->slot]->slot = connect->slot;
    }
  }
  // Waits, then calls advance for each connect whose handle is ready;
  // true when the wake was signalled.
  template <typename Advance>
  bool WaitAndAdvance(int timeoutMs, Advance advance) {
    if (WSAPoll(m_polls, static_cast<ULONG>(m_count), timeoutMs) <= 0) return false;
    // From the end: a connect that ends moves the last one into its slot,
    // which has been looked at already.
    for (int i = m_count - 1; i >= 1; --i) {
      if (i < m_count && m_polls[i].revents != 0) {
        m_polls[i].revents = 0;
        advance(m_connects[i]);
      }
    }
    return m_polls[0].revents != 0;
  }

 private:
  // Slot 0 is the wake's.
  WSAPOLLFD* m_polls = nullptr;
  PendingConnect** m_connects = nullptr;
  int m_pollCapacity = 0;
  int m_connectCapacity = 0;
  int m_count = 1;
};
#else
// epoll: one registration per pending connect, the kernel keeps the list.
class SocketWatch {
 public:
  ~SocketWatch() {
    if (m_epoll >= 0) close(m_epoll);
  }
  bool Open(uintptr_t wake) {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    return m_epoll >= 0 && epoll_ctl(m_epoll, EPOLL_CTL_ADD, static_cast<int>(wake), &event) == 0;
  }
  bool Reserve(int) { return true; }
  // Off the epoll set before each poll: the poll may close the handle or
  // let another thread close it (a finished name lookup's), and a number
  // closed may come back as another file; nothing of this thread's is then
  // removed in its place.
  void BeforePoll(PendingConnect* connect) { Unwatch(connect); }
  bool Watch(PendingConnect* connect, const qbsocks_wait& wait) {
    epoll_event event = {};
    event.events = ((wait.events & QBSOCKS_WAIT_READABLE) ? EPOLLIN : 0u) |
                   ((wait.events & QBSOCKS_WAIT_WRITABLE) ? EPOLLOUT : 0u);
    event.data.ptr = connect;
    const int fd = static_cast<int>(wait.socket);
    int rc = epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    if (rc != 0 && errno == EEXIST) rc = epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
    connect->watching = rc == 0;
    connect->watched = wait.socket;
    return rc == 0;
  }
  void Unwatch(PendingConnect* connect) {
    if (!connect->watching) return;
    connect->watching = false;
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, static_cast<int>(connect->watched), nullptr);
  }
  template <typename Advance>
  bool WaitAndAdvance(int timeoutMs, Advance advance) {
    epoll_event events[128];
    const int count = epoll_wait(m_epoll, events, 128, timeoutMs);
    bool woken = false;
    // A connect that ends here has no other event in this batch: one
    // handle each, and callbacks only queue (a new connect, a trigger).
    for (int i = 0; i < count; ++i) {
      if (events[i].data.ptr == nullptr) woken = true;
      else advance(static_cast<PendingConnect*>(events[i].data.ptr));
    }
    return woken;
  }

 private:
  int m_epoll = -1;
};
#endif

class ConnectThread : public MallocAllocated {
 public:
  // A thread's state, its wake and its wait open; NULL when the system gives none.
  static ConnectThread* Open() {
    ConnectThread* thread = new ConnectThread;
    if (thread != nullptr && (!thread->m_wake.Open() || !thread->m_watch.Open(thread->m_wake.Handle()))) {
      delete thread;
      return nullptr;
    }
    return thread;
  }

  // Under g_lock.
  void HandOver(PendingConnect* connect) {
    connect->thread = this;
    connect->nextNew = nullptr;
    (m_newLast != nullptr ? m_newLast->nextNew : m_newFirst) = connect;
    m_newLast = connect;
    m_wake.Signal();
  }

  // Runs on the cancel's triggering thread, under the handle's lock.
  static void WakeForCancel(void* context) {
    PendingConnect* connect = static_cast<PendingConnect*>(context);
    qbafx::LockGuard lock(g_lock);
    ConnectThread* thread = connect->thread;
    if (!connect->woken) {
      connect->woken = true;
      connect->nextWoken = thread->m_wokenFirst;
      thread->m_wokenFirst = connect;
    }
    thread->m_wake.Signal();
  }

  bool Start();

 private:
  void Run() {
    bool idle = false;
    DWORD idleSince = 0;
    for (;;) {
      TakeNewConnects();
      AdvanceWoken();
      int timeoutMs = NearestTimeoutMs();
      if (m_pending != 0) {
        idle = false;
      } else {
        // Idle for a moment before it ends: connects made one after another
        // do not each pay for a thread's start and end.
        const DWORD now = qbafx::sockio::TickCount();
        if (!idle) idle = true, idleSince = now;
        const DWORD idleMs = now - idleSince;
        if (idleMs >= kIdleBeforeEndMs && Retire()) return;
        timeoutMs = idleMs >= kIdleBeforeEndMs ? 0 : static_cast<int>(kIdleBeforeEndMs - idleMs);
      }
      if (m_watch.WaitAndAdvance(timeoutMs, [this](PendingConnect* connect) { Advance(connect); })) {
        m_wake.Clear();  // before the lists are read: a later signal stays
      }
      AdvanceExpired();
    }
  }

#ifdef _WIN32
  static DWORD WINAPI ThreadMain(LPVOID self) {
#else
  static void* ThreadMain(void* self) {
#endif
    ConnectThread* thread = static_cast<ConnectThread*>(self);
    thread->Run();
#ifdef _WIN32
    const HMODULE module = thread->m_module;
    delete thread;
    FreeLibraryAndExitThread(module, 0);  // the last callback returned: the host may unload the module now
#else
    delete thread;
    return 0;
#endif
  }

  // With no connect pending and none handed over, the thread ends: from
  // here on a new connect starts another.
  bool Retire() {
    qbafx::LockGuard lock(g_lock);
    if (m_newFirst != nullptr) return false;
    g_running = nullptr;
    return true;
  }

  void TakeNewConnects() {
    for (;;) {
      PendingConnect* connect;
      {
        qbafx::LockGuard lock(g_lock);
        if ((connect = m_newFirst) == nullptr) return;
        if ((m_newFirst = connect->nextNew) == nullptr) m_newLast = nullptr;
      }
      ++m_pending;
      if (!m_deadlines.Reserve(m_pending) || !m_watch.Reserve(m_pending)) {
        EndOutOfMemory(connect);
        continue;
      }
      connect->waker.pfnWake = WakeForCancel;
      connect->waker.pContext = connect;
      AddWaker(connect->cancel, &connect->waker);  // one triggered already is woken at once
      Advance(connect);
    }
  }

  // One at a time: a connect may be woken again while another is advanced.
  void AdvanceWoken() {
    for (;;) {
      PendingConnect* connect;
      {
        qbafx::LockGuard lock(g_lock);
        if ((connect = m_wokenFirst) == nullptr) return;
        m_wokenFirst = connect->nextWoken;
        connect->woken = false;
      }
      Advance(connect);
    }
  }

  void AdvanceExpired() {
    const DWORD now = qbafx::sockio::TickCount();
    while (!m_deadlines.Empty() && TicksBetween(m_deadlines.Nearest()->deadline, now) <= 0) {
      Advance(m_deadlines.Nearest());
    }
  }

  int NearestTimeoutMs() const {
    if (m_deadlines.Empty()) return -1;
    const LONG left = TicksBetween(m_deadlines.Nearest()->deadline, qbafx::sockio::TickCount());
    return left > 0 ? static_cast<int>(left) : 0;
  }

  void Advance(PendingConnect* connect) {
    qbsocks_wait wait;
    m_watch.BeforePoll(connect);
    if (qbsocks_connect_poll(connect->connecting, &wait) != QBSOCKS_IN_PROGRESS) {
      End(connect);
      return;
    }
    unsigned timeoutMs = wait.timeout_ms;
    // A handle the wait refused is looked at every few milliseconds.
    if (!m_watch.Watch(connect, wait) && timeoutMs > kUnwatchedCheckMs) timeoutMs = kUnwatchedCheckMs;
    // A deadline stays within half the tick count's range, where it still compares as later.
    if (timeoutMs != QBSOCKS_WAIT_FOREVER && timeoutMs > kLongestSleepMs) timeoutMs = kLongestSleepMs;
    if (timeoutMs == QBSOCKS_WAIT_FOREVER) {
      m_deadlines.Remove(connect);
    } else {  // at least a millisecond ahead, so that a turn's expired ones run out
      m_deadlines.Set(connect, qbafx::sockio::TickCount() + (timeoutMs > 0 ? timeoutMs : 1));
    }
  }

  // Off every list, finished (its handles closed, or its socket handed
  // over), its callback run, freed.
  void End(PendingConnect* connect) {
    Forget(connect);
    qbsocks_outcome outcome;
    outcome.size = sizeof(outcome);
    uintptr_t socket = QBSOCKS_NO_HANDLE;
    const int result = qbsocks_connect_finish(connect->connecting, &socket, &outcome);
    connect->callback(connect->context, result, socket, &outcome);
    delete connect;
  }

  // Ended without a poll: no room to watch it.
  void EndOutOfMemory(PendingConnect* connect) {
    --m_pending;
    uintptr_t unused;
    qbsocks_connect_finish(connect->connecting, &unused, nullptr);
    qbsocks_outcome outcome;
    memset(&outcome, 0, sizeof(outcome));
    outcome.size = sizeof(outcome);
    outcome.result = QBSOCKS_NO_SOCKET;
    outcome.cause = QBSOCKS_CAUSE_SYSTEM_ERROR;
    outcome.proxy_code = QBSOCKS_NO_PROXY_CODE;
    strcpy(outcome.reason, "out of memory");
    connect->callback(connect->context, QBSOCKS_NO_SOCKET, QBSOCKS_NO_HANDLE, &outcome);
    delete connect;
  }

  void Forget(PendingConnect* connect) {
    --m_pending;
    m_watch.Unwatch(connect);
    m_deadlines.Remove(connect);
    RemoveWaker(connect->cancel, &connect->waker);  // no trigger reaches it after this
    qbafx::LockGuard lock(g_lock);
    if (!connect->woken) return;
    for (PendingConnect** link = &m_wokenFirst; *link != nullptr; link = &(*link)->nextWoken) {
      if (*link == connect) {
        *link = connect->nextWoken;
        return;
      }
    }
  }

  static const unsigned kUnwatchedCheckMs = 10;
  static const unsigned kIdleBeforeEndMs = 250;
  static const unsigned kLongestSleepMs = 24 * 60 * 60 * 1000;

#ifdef _WIN32
  HMODULE m_module = nullptr;  // held while the thread runs
#endif
  Wake m_wake;
  SocketWatch m_watch;
  DeadlineHeap m_deadlines;
  int m_pending = 0;  // taken from the queue and not yet ended
  // Under g_lock:
  PendingConnect* m_newFirst = nullptr;
  PendingConnect* m_newLast = nullptr;
  PendingConnect* m_wokenFirst = nullptr;
};

// Detached: the thread frees its own state when it ends. On Windows it
// holds the module loaded until it exits, so that a host that unloads the
// module once its last callback has run does not pull the code from under
// the thread's last steps.
bool ConnectThread::Start() {
#ifdef _WIN32
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThreadMain), &m_module))
    return false;
  HANDLE thread = CreateThread(NULL, 0, ThreadMain, this, 0, NULL);
  if (thread == NULL) {
    FreeLibrary(m_module);
    return false;
  }
  CloseHandle(thread);
  return true;
#else
  // The thread keeps its starter's signal mask: the callbacks it runs are
  // host code, and a runtime (mono, a JVM) stops such threads by signal.
  pthread_attr_t attributes;
  pthread_t thread;
  bool started = pthread_attr_init(&attributes) == 0;
  if (started) {
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    started = pthread_create(&thread, &attributes, ThreadMain, this) == 0;
    pthread_attr_destroy(&attributes);
  }
  return started;
#endif
}

#ifndef _WIN32
// fork: the child has the forking thread alone. The lock is held across
// the fork, so that the lists and g_running are whole in the child; there
// the lock is made anew (the hold is of a thread it does not have) and no
// thread runs, so that its first connect starts one. The connects pending
// in the parent stay the parent's: the child never touches them (their
// copies are left, a leak of the child's).
void HoldLockForFork() { g_lock.Acquire(); }
void ReleaseLockAfterFork() { g_lock.Release(); }
void ForgetThreadInChild() {
  new (&g_lock) qbafx::RecursiveLock;
  g_running = nullptr;
}
// Registered once at load; the library is never unloaded (-z nodelete).
struct ForkHandlers {
  ForkHandlers() { pthread_atfork(HoldLockForFork, ReleaseLockAfterFork, ForgetThreadInChild); }
} g_forkHandlers;
#endif

// Hands connect to the running thread, or starts one; false when none can start.
bool HandOver(PendingConnect* connect) {
  qbafx::LockGuard lock(g_lock);
  if (g_running == nullptr) {
    ConnectThread* thread = ConnectThread::Open();
    if (thread == nullptr) return false;
    thread->HandOver(connect);
    if (!thread->Start()) {
      delete thread;
      return false;
    }
    g_running = thread;
    return true;
  }
  g_running->HandOver(connect);
  return true;
}

}  // namespace

int RunOnConnectThread(qbsocks_connecting* connecting, qbsocks_connect_callback callback, void* context) {
  PendingConnect* connect = connecting != nullptr ? new PendingConnect : nullptr;
  if (connect != nullptr) {
    connect->connecting = connecting;
    connect->cancel = connecting->cancel();  // the engine's, its driver's too
    connect->callback = callback;
    connect->context = context;
    if (HandOver(connect)) return QBSOCKS_OK;
    delete connect;
  }
  uintptr_t unused;
  qbsocks_connect_finish(connecting, &unused, nullptr);  // NULL ignored
  return QBSOCKS_NO_SOCKET;
}

}  // namespace qbsocks_c
