// The cancel handle (qbsocks_cancel): triggered once and for good, from any
// thread. A connect looks at it in each of its steps; a thread that sleeps
// on connects (the blocking call's wait, the library's own thread) adds a
// waker, which a trigger calls at once, so that no wait polls for it.
#ifndef QBSOCKS_CAPI_CANCEL_H
#define QBSOCKS_CAPI_CANCEL_H

#include "qbsocks.h"

namespace qbsocks_c {

// A sleeping thread's way to hear of a trigger: Wake() runs on the
// triggering thread, under the handle's lock, so it only signals.
struct CancelWaker {
  void (*pfnWake)(void* pContext) = nullptr;
  void* pContext = nullptr;
  CancelWaker* previous = nullptr;  // the handle's list
  CancelWaker* next = nullptr;
};

// Whether the handle has been triggered; false for NULL.
bool IsTriggered(const qbsocks_cancel* cancel);
// Adds waker to the handle's list for as long as its thread sleeps on it
// (nothing for a NULL handle). One added to a handle already triggered is
// woken at once.
void AddWaker(qbsocks_cancel* cancel, CancelWaker* waker);
void RemoveWaker(qbsocks_cancel* cancel, CancelWaker* waker);

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_CANCEL_H
