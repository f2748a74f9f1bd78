// The detached threads of afx/thread_start.h on Windows: each holds the
// module loaded until it exits, so that a host that unloads the module
// once its last callback has run, or while a given-up lookup still runs,
// does not pull the code from under the thread's last steps.
#include "afx/thread_start.h"

#include "win32.h"

#include "win/system_calls.h"

namespace qbafx {

namespace {

DWORD WINAPI ThreadMain(LPVOID start) {
  const DetachedThread thread = *static_cast<const DetachedThread*>(start);  // run may free it
  thread.run(thread.argument);
  FreeLibraryAndExitThread(static_cast<HMODULE>(thread.module), 0);
}

}  // namespace

bool DetachedThread::Start(void (*runOnThread)(void*), void* argumentOfRun, ThreadStack stack) {
  run = runOnThread;
  argument = argumentOfRun;
  HMODULE held = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThreadMain), &held))
    return false;
  module = held;
  const bool small = stack == ThreadStack::kSmall;
  const HANDLE thread = qbplatform::sys::CreateThread(nullptr, small ? 64 * 1024 : 0, ThreadMain, this,
                                                      small ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    FreeLibrary(held);
    SetLastError(error);
    return false;
  }
  CloseHandle(thread);
  return true;
}

}  // namespace qbafx
