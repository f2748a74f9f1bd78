// The locks and the per-thread values of the class library. Each system's
// part (win/sync.h, posix/sync.h) gives the two classes declared below,
// which the checks at the end hold it to; this file adds what is built on
// them.
//
// RecursiveLock: a lock that the thread holding it may take again.
//   Acquire() waits for it; Release() gives one Acquire back.
// ThreadPointer<T>: one slot per object, holding one pointer per thread,
//   NULL until the thread sets it. Two objects of the same T are two
//   slots. Get() and Set() leave the thread's last error as it was. An
//   object is made once, as a global of the module that uses it (each
//   takes one of the system's thread-local slots).
// Semaphore: a count, 0 at first. Post() adds one; Wait() waits until it
//   is above 0 and takes one. A global that lives as long as the process.
// HeldAcrossFork<lock, inChild>: a global whose lock a fork does not leave
//   held in the child (POSIX); nothing on Windows.
#ifndef QBSOCKS_PLATFORM_AFX_SYNC_H
#define QBSOCKS_PLATFORM_AFX_SYNC_H

#include "afx/provides.h"
#include "win32.h"

#ifdef _WIN32
#include "win/sync.h"
#else
#include "posix/sync.h"
#endif

namespace qbafx {

namespace declared {
using Acquire = void (RecursiveLock::*)();
using Release = void (RecursiveLock::*)();
using Get = void* (ThreadPointer<void>::*)() const;
using Set = void (ThreadPointer<void>::*)(void*);
using Post = void (Semaphore::*)();
using Wait = void (Semaphore::*)();
}  // namespace declared
QBAFX_PROVIDES_MEMBER(RecursiveLock, Acquire);
QBAFX_PROVIDES_MEMBER(RecursiveLock, Release);
QBAFX_PROVIDES_MEMBER(ThreadPointer<void>, Get);
QBAFX_PROVIDES_MEMBER(ThreadPointer<void>, Set);
QBAFX_PROVIDES_MEMBER(Semaphore, Post);
QBAFX_PROVIDES_MEMBER(Semaphore, Wait);

// Holds a lock for its lifetime.
class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : m_lock(lock) { m_lock.Acquire(); }
  ~LockGuard() { m_lock.Release(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock& m_lock;
};

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_SYNC_H
