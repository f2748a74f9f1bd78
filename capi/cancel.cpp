// The cancel handle: a flag set once and for good, and the wakers of the
// threads that sleep on connects running with it.
#include "cancel.h"

#include "afx/malloc_allocated.h"
#include "afx/sync.h"
#include "win32.h"

// Allocated with malloc: a failure gives NULL, no exception.
struct qbsocks_cancel : qbafx::MallocAllocated {
  volatile LONG triggered = 0;  // 1 once triggered (Interlocked*)
  qbafx::RecursiveLock lock;    // guards wakers
  qbsocks_c::CancelWaker* wakers = nullptr;
};

namespace qbsocks_c {

bool IsTriggered(const qbsocks_cancel* cancel) {
  return cancel != nullptr && InterlockedCompareExchange(&const_cast<qbsocks_cancel*>(cancel)->triggered, 0, 0) != 0;
}

void AddWaker(qbsocks_cancel* cancel, CancelWaker* waker) {
  if (cancel == nullptr) return;
  qbafx::LockGuard lock(cancel->lock);
  waker->previous = nullptr;
  waker->next = cancel->wakers;
  if (waker->next != nullptr) waker->next->previous = waker;
  cancel->wakers = waker;
  if (IsTriggered(cancel)) waker->pfnWake(waker->pContext);
}

void RemoveWaker(qbsocks_cancel* cancel, CancelWaker* waker) {
  if (cancel == nullptr) return;
  qbafx::LockGuard lock(cancel->lock);
  if (waker->next != nullptr) waker->next->previous = waker->previous;
  (waker->previous != nullptr ? waker->previous->next : cancel->wakers) = waker->next;
  waker->previous = waker->next = nullptr;
}

}  // namespace qbsocks_c

extern "C" {

qbsocks_cancel* QBSOCKS_CALL qbsocks_cancel_create(void) { return new qbsocks_cancel; }  // NULL when out of memory

void QBSOCKS_CALL qbsocks_cancel_trigger(qbsocks_cancel* cancel) {
  if (cancel == nullptr) return;
  qbafx::LockGuard lock(cancel->lock);
  InterlockedExchange(&cancel->triggered, 1);
  for (qbsocks_c::CancelWaker* waker = cancel->wakers; waker != nullptr; waker = waker->next)
    waker->pfnWake(waker->pContext);
}

void QBSOCKS_CALL qbsocks_cancel_destroy(qbsocks_cancel* cancel) { delete cancel; }

}  // extern "C"
