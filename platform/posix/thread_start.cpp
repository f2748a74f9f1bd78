// The detached threads of afx/thread_start.h on POSIX.
#include "afx/thread_start.h"

#include "posix/system_calls.h"
#include "posix/wsa_errors.h"

#include <pthread.h>

namespace qbafx {

namespace {

void* ThreadMain(void* start) {
  const DetachedThread thread = *static_cast<const DetachedThread*>(start);  // run may free it
  thread.run(thread.argument);
  return nullptr;
}

}  // namespace

// The thread keeps its starter's signal mask: the callbacks it runs are
// host code, and a runtime (mono, a JVM) stops such threads by signal.
bool DetachedThread::Start(void (*runOnThread)(void*), void* argumentOfRun, ThreadStack stack) {
  run = runOnThread;
  argument = argumentOfRun;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stack == ThreadStack::kSmall)
    pthread_attr_setstacksize(&attributes, 256 * 1024);  // the resolver's needs, not the default 8 MiB
  pthread_t thread;
  const int error = qbplatform::sys::pthread_create(&thread, &attributes, ThreadMain, this);
  pthread_attr_destroy(&attributes);
  if (error != 0) WSASetLastError(qbplatform::WsaErrorFromErrno(error));
  return error == 0;
}

}  // namespace qbafx
