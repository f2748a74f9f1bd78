// The locks and the per-thread value of the class library. On Windows they
// are the system's own (critical sections, a TLS slot), so that the class
// library needs no C++ standard library there; elsewhere the C++ library's.
#ifndef QBSOCKS_PLATFORM_AFX_SYNC_H
#define QBSOCKS_PLATFORM_AFX_SYNC_H

#include "win32.h"

#ifndef _WIN32
#include <mutex>
#endif

namespace qbafx {

// A lock that the thread holding it may take again.
class RecursiveLock {
 public:
#ifdef _WIN32
  RecursiveLock() { InitializeCriticalSection(&m_section); }
  ~RecursiveLock() { DeleteCriticalSection(&m_section); }
  void Acquire() { EnterCriticalSection(&m_section); }
  void Release() { LeaveCriticalSection(&m_section); }
#else
  RecursiveLock() = default;
  void Acquire() { m_mutex.lock(); }
  void Release() { m_mutex.unlock(); }
#endif
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

 private:
#ifdef _WIN32
  CRITICAL_SECTION m_section;
#else
  std::recursive_mutex m_mutex;
#endif
};

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

#ifdef _WIN32
// One pointer per thread, NULL until the thread sets it. Reading and
// writing it leave the thread's last error as it was.
template <typename T>
class ThreadPointer {
 public:
  ThreadPointer() : m_dwIndex(TlsAlloc()) {}
  ~ThreadPointer() {
    if (m_dwIndex != TLS_OUT_OF_INDEXES) TlsFree(m_dwIndex);
  }
  ThreadPointer(const ThreadPointer&) = delete;
  ThreadPointer& operator=(const ThreadPointer&) = delete;

  T* Get() const {
    const DWORD dwSaved = GetLastError();  // TlsGetValue clears it
    T* p = static_cast<T*>(TlsGetValue(m_dwIndex));
    SetLastError(dwSaved);
    return p;
  }
  void Set(T* p) {
    const DWORD dwSaved = GetLastError();
    TlsSetValue(m_dwIndex, p);
    SetLastError(dwSaved);
  }

 private:
  DWORD m_dwIndex;
};
#endif

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_SYNC_H
