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
#include "afx/malloc_allocated.h"
#include "afx/socket_watch.h"
#include "connect_engine.h"
#include "afx/sockio.h"  // TickCount
#include "afx/sync.h"
#include "afx/thread_start.h"
#include "afx/wake.h"

#include <stdlib.h>
#include <string.h>

namespace qbsocks_c {

namespace {

class ConnectThread;

// One callback connect, from qbsocks_connect_async until its callback.
struct PendingConnect : qbafx::MallocAllocated {
  qbsocks_connecting* connecting = nullptr;
  qbsocks_cancel* cancel = nullptr;
  qbsocks_connect_callback callback = nullptr;
  void* context = nullptr;
  ConnectThread* thread = nullptr;
  CancelWaker waker;                   // on the cancel handle's list while pending
  qbafx::WatchedSocket watched{this};  // its handle in the thread's wait
  bool hasDeadline = false;            // in the deadline heap, at heapIndex
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

// The pending connects' deadlines, nearest first: a binary heap over a
// plain array, each connect knowing its place so that it can move or leave.
class DeadlineHeap {
 public:
  ~DeadlineHeap() { free(m_items); }
  bool Reserve(int count) { return qbafx::ReserveArray(m_items, m_capacity, count); }
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

// The sockets' events its wait watches for.
unsigned WantedOf(const qbsocks_wait& wait) {
  return ((wait.events & QBSOCKS_WAIT_READABLE) ? qbafx::sockio::kReadable : 0u) |
         ((wait.events & QBSOCKS_WAIT_WRITABLE) ? qbafx::sockio::kWritable : 0u);
}

class ConnectThread : public qbafx::MallocAllocated {
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

  // Detached: the thread frees its own state when it ends.
  bool Start() { return m_thread.Start(RunThread, this, qbafx::ThreadStack::kSystemDefault); }

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
      if (m_watch.WaitAndAdvance(timeoutMs,
                                 [this](void* connect) { Advance(static_cast<PendingConnect*>(connect)); })) {
        m_wake.Clear();  // before the lists are read: a later signal stays
      }
      AdvanceExpired();
    }
  }

  static void RunThread(void* self) {
    ConnectThread* thread = static_cast<ConnectThread*>(self);
    thread->Run();
    delete thread;
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
    m_watch.BeforePoll(&connect->watched);
    if (qbsocks_connect_poll(connect->connecting, &wait) != QBSOCKS_IN_PROGRESS) {
      End(connect);
      return;
    }
    unsigned timeoutMs = wait.timeout_ms;
    // A handle the wait refused is looked at every few milliseconds.
    if (!m_watch.Watch(&connect->watched, wait.socket, WantedOf(wait)) && timeoutMs > kUnwatchedCheckMs)
      timeoutMs = kUnwatchedCheckMs;
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
    m_watch.Unwatch(&connect->watched);
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

  qbafx::DetachedThread m_thread;
  qbafx::Wake m_wake;
  qbafx::SocketWatch m_watch;
  DeadlineHeap m_deadlines;
  int m_pending = 0;  // taken from the queue and not yet ended
  // Under g_lock:
  PendingConnect* m_newFirst = nullptr;
  PendingConnect* m_newLast = nullptr;
  PendingConnect* m_wokenFirst = nullptr;
};

// fork: the lock is held across it (POSIX), so that the lists and
// g_running are whole in the child, where no thread runs: its first
// connect starts one. The connects pending in the parent stay the
// parent's: the child never touches them (their copies are left, a leak
// of the child's).
void ForgetThreadInChild() { g_running = nullptr; }
[[maybe_unused]] qbafx::HeldAcrossFork<g_lock, ForgetThreadInChild> g_forkHandlers;

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
