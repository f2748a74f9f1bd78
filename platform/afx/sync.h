// The locks and the per-thread values of the class library. Each system's
// part (win/sync.h, posix/sync.h) gives a RecursiveLock, a lock that the
// thread holding it may take again, and ThreadPointer<T>, one pointer per
// thread, NULL until the thread sets it; this file adds what is built on
// them.
#ifndef QBSOCKS_PLATFORM_AFX_SYNC_H
#define QBSOCKS_PLATFORM_AFX_SYNC_H

#include "win32.h"

#ifdef _WIN32
#include "win/sync.h"
#else
#include "posix/sync.h"
#endif

namespace qbafx {

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
