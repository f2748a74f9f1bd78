// The locks and the per-thread value of afx/sync.h on POSIX: the C++
// library's.
#ifndef QBSOCKS_PLATFORM_POSIX_SYNC_H
#define QBSOCKS_PLATFORM_POSIX_SYNC_H

#include <mutex>

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

// A thread_local slot of its own for each type T: the class library keeps
// one such pointer per type (the current module state, the innermost wait).
template <typename T>
class ThreadPointer {
 public:
  T* Get() const { return Slot(); }
  void Set(T* p) { Slot() = p; }

 private:
  static T*& Slot() {
    static thread_local T* t_p = nullptr;
    return t_p;
  }
};

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_POSIX_SYNC_H
