// qbsocks_connect_async: the callback connects, carried out by one thread
// of the library's that waits on every pending connect at once. Each is a
// connect of the caller-driven form (qbsocks_connect_start, _poll,
// _finish). The caller's thread polls it first, as far as it goes without
// waiting (the settings, the socket, the TCP connect begun; on loopback
// often the first request sent), so that the thread's wake-up to take it
// over runs while the network works. Then the thread polls it when its
// handle is ready as its qbsocks_wait says, when its deadline comes, or at
// once when its cancel handle is triggered; finishes it, and runs its
// callback there, never on the caller's thread: a connect that ended in
// the caller's polls is handed over all the same.
//
// The thread starts with the first connect and ends when none has been
// pending for a quarter of a second.
// Whether it runs is decided under one lock, by the thread that hands a
// connect over and by the thread that would end, so that a connect never
// lands on a thread that has decided to end: a caller's thread holds the
// thread it will hand its connect to (m_coming) while it polls.
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
  // Where the caller's polls left it: their last result, and the wait it
  // went on to (from the tick count waitFrom).
  int started = QBSOCKS_IN_PROGRESS;
  qbsocks_wait wait = {};
  DWORD waitFrom = 0;
  bool woken = false;  // on the list of connects whose cancel was triggered
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

  // Under g_lock: a caller's thread polls a connect that it will hand
  // over; the thread does not end meanwhile.
  void ExpectConnect() { ++m_coming; }

  // Under g_lock: the connect that ExpectConnect announced.
  void HandOver(PendingConnect* connect) {
    --m_coming;
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
        // Kept by a connect handed over or on its way, whose hand-over signals the wake.
        timeoutMs = idleMs >= kIdleBeforeEndMs ? -1 : static_cast<int>(kIdleBeforeEndMs - idleMs);
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

  // With no connect pending, none handed over and none on its way, the
  // thread ends: from here on a new connect starts another.
  bool Retire() {
    qbafx::LockGuard lock(g_lock);
    if (m_newFirst != nullptr || m_coming != 0) return false;
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
      if (connect->started == QBSOCKS_IN_PROGRESS) Await(connect, connect->wait, connect->waitFrom);
      else End(connect);
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
    Await(connect, wait, qbafx::sockio::TickCount());
  }

  // Watches for what the connect's last poll (at the tick count from) said to wait for.
  void Await(PendingConnect* connect, const qbsocks_wait& wait, DWORD from) {
    unsigned timeoutMs = wait.timeout_ms;
    // A handle the wait refused is looked at every few milliseconds.
    if (!m_watch.Watch(&connect->watched, wait.socket, WantedOf(wait)) && timeoutMs > kUnwatchedCheckMs)
      timeoutMs = kUnwatchedCheckMs;
    // A deadline stays within half the tick count's range, where it still compares as later.
    if (timeoutMs != QBSOCKS_WAIT_FOREVER && timeoutMs > kLongestSleepMs) timeoutMs = kLongestSleepMs;
    if (timeoutMs == QBSOCKS_WAIT_FOREVER) {
      m_deadlines.Remove(connect);
    } else {  // at least a millisecond ahead, so that a turn's expired ones run out
      m_deadlines.Set(connect, from + (timeoutMs > 0 ? timeoutMs : 1));
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
  int m_coming = 0;  // connects that callers' threads poll before they hand them over
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

// The running thread, or one started, that stays until a connect is handed
// to it (ConnectThread::HandOver); null when none can start. Before the
// connect is polled: one that no thread could carry out is never begun.
ConnectThread* ThreadToHandOverTo() {
  qbafx::LockGuard lock(g_lock);
  if (g_running == nullptr) {
    ConnectThread* thread = ConnectThread::Open();
    if (thread == nullptr) return nullptr;
    if (!thread->Start()) {
      delete thread;
      return nullptr;
    }
    g_running = thread;
  }
  g_running->ExpectConnect();
  return g_running;
}

// The connect's polls on the caller's thread, as far as it goes without
// waiting: a wait to write is often over at once (a TCP connect on
// loopback, a send with room), so the connect is polled again while it
// waits to write and moves on. Its last result, with *wait.
int PollWhileItMoves(qbsocks_connecting* connecting, qbsocks_wait* wait) {
  int result = qbsocks_connect_poll(connecting, wait);
  while (result == QBSOCKS_IN_PROGRESS && wait->events == QBSOCKS_WAIT_WRITABLE) {
    const qbsocks_wait before = *wait;
    result = qbsocks_connect_poll(connecting, wait);
    if (result == QBSOCKS_IN_PROGRESS && wait->socket == before.socket && wait->events == before.events) break;
  }
  return result;
}

}  // namespace

int RunOnConnectThread(qbsocks_connecting* connecting, qbsocks_connect_callback callback, void* context) {
  PendingConnect* connect = connecting != nullptr ? new PendingConnect : nullptr;
  ConnectThread* thread = connect != nullptr ? ThreadToHandOverTo() : nullptr;
  if (thread == nullptr) {
    delete connect;
    uintptr_t unused;
    qbsocks_connect_finish(connecting, &unused, nullptr);  // NULL ignored
    return QBSOCKS_NO_SOCKET;
  }
  connect->connecting = connecting;
  connect->cancel = connecting->cancel();  // the engine's, its driver's too
  connect->callback = callback;
  connect->context = context;
  connect->started = PollWhileItMoves(connecting, &connect->wait);
  connect->waitFrom = qbafx::sockio::TickCount();
  qbafx::LockGuard lock(g_lock);
  thread->HandOver(connect);  // its callback runs there, even for one that has ended
  return QBSOCKS_OK;
}

}  // namespace qbsocks_c
