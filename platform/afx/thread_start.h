// Threads of the library's own that nobody waits for: the C interface's
// thread of callback connects and its name lookups. Each system's part
// (win/thread_start.cpp, posix/thread_start.cpp) defines Start.
//
// Such a thread may run after the host let the module go (the last
// callback returned, or a connect given up while its lookup runs). On
// Windows it holds the module loaded until its last instruction
// (FreeLibraryAndExitThread); on Linux the module is linked -z nodelete,
// so that its code stays mapped.
#ifndef QBSOCKS_PLATFORM_AFX_THREAD_START_H
#define QBSOCKS_PLATFORM_AFX_THREAD_START_H

namespace qbafx {

// How much stack the thread reserves: the system's default, or a small one
// (what the system's resolver needs).
enum class ThreadStack { kSystemDefault, kSmall };

// The start of a detached thread. Its owner keeps it until run has begun:
// the thread reads it first, so that run may free it.
struct DetachedThread {
  // Runs run(argument) on a new thread; false when the system gives none
  // (the last error says why). Through the system-call table.
  bool Start(void (*run)(void* argument), void* argument, ThreadStack stack);

  void (*run)(void* argument) = nullptr;
  void* argument = nullptr;
  void* module = nullptr;  // Windows: the module the thread holds loaded
};

}  // namespace qbafx

#endif  // QBSOCKS_PLATFORM_AFX_THREAD_START_H
