// The locks and the per-thread value of afx/sync.h on POSIX: the C++
// library's lock, the thread library's keys.
#ifndef QBSOCKS_PLATFORM_POSIX_SYNC_H
#define QBSOCKS_PLATFORM_POSIX_SYNC_H

#include <pthread.h>
#include <semaphore.h>

#include <cerrno>
#include <mutex>
#include <new>

namespace qbafx {

class RecursiveLock {
 public:
  RecursiveLock() = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Acquire() { m_mutex.lock(); }
  void Release() { m_mutex.unlock(); }

 private:
  std::recursive_mutex m_mutex;
};

// A count that threads wait on, without a descriptor. Never destroyed:
// threads of the process may wait on it until they end.
class Semaphore {
 public:
  Semaphore() { sem_init(&m_semaphore, 0, 0); }
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void Post() { sem_post(&m_semaphore); }
  void Wait() {
    while (sem_wait(&m_semaphore) != 0 && errno == EINTR) {
    }
  }

 private:
  sem_t m_semaphore;
};

// fork: the child has the forking thread alone. lock is held across the
// fork, so that what it guards is whole in the child; there it is made
// anew (the hold is of a thread the child does not have) and inChild runs.
// One object, a global: it registers the handlers as the module loads,
// once (a module that holds one is never unloaded, -z nodelete).
template <RecursiveLock& lock, void (*inChild)()>
class HeldAcrossFork {
 public:
  HeldAcrossFork() { pthread_atfork(Hold, ReleaseInParent, RenewInChild); }

 private:
  static void Hold() { lock.Acquire(); }
  static void ReleaseInParent() { lock.Release(); }
  static void RenewInChild() {
    new (&lock) RecursiveLock;
    inChild();
  }
};

// A key of the thread library per object, as a TLS index on Windows.
template <typename T>
class ThreadPointer {
 public:
  ThreadPointer() : m_bKey(pthread_key_create(&m_key, nullptr) == 0) {}
  ~ThreadPointer() {
    if (m_bKey) pthread_key_delete(m_key);
  }
  ThreadPointer(const ThreadPointer&) = delete;
  ThreadPointer& operator=(const ThreadPointer&) = delete;

  T* Get() const { return m_bKey ? static_cast<T*>(pthread_getspecific(m_key)) : nullptr; }
  void Set(T* p) {
    if (m_bKey) pthread_setspecific(m_key, p);
  }

 private:
  pthread_key_t m_key;
  bool m_bKey;
};

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_POSIX_SYNC_H
