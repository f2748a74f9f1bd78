// The locks and the per-thread value of afx/sync.h on Windows: the
// system's own (critical sections, a TLS slot), so that the class library
// needs no C++ standard library there.
#ifndef QBSOCKS_PLATFORM_WIN_SYNC_H
#define QBSOCKS_PLATFORM_WIN_SYNC_H

#include "win32.h"

namespace qbafx {

class RecursiveLock {
 public:
  RecursiveLock() { InitializeCriticalSection(&m_section); }
  ~RecursiveLock() { DeleteCriticalSection(&m_section); }
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Acquire() { EnterCriticalSection(&m_section); }
  void Release() { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section;
};

// A count that threads wait on. Never closed: threads of the process may
// wait on it until they end.
class Semaphore {
 public:
  Semaphore() : m_hSemaphore(CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr)) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void Post() { ReleaseSemaphore(m_hSemaphore, 1, nullptr); }
  void Wait() { WaitForSingleObject(m_hSemaphore, INFINITE); }

 private:
  HANDLE m_hSemaphore;
};

// No fork on Windows: nothing to do, and no constructor to run.
template <RecursiveLock& lock, void (*inChild)()>
class HeldAcrossFork {};

// Reading and writing it leave the thread's last error as it was.
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

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_WIN_SYNC_H
