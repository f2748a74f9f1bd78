// Replaces one entry of the platform layer's system-call table for the
// object's lifetime, and reads the table's counts (POSIX only).
//
//   ReplacedSystemCall failing(qbplatform::g_systemCalls.send, &FailingSend);
//
// A replacement is a plain function; it reaches the real call by its
// global name (::send), which the table holds by default.
#ifndef QBSOCKS_TESTS_SUPPORT_REPLACED_SYSTEM_CALL_H
#define QBSOCKS_TESTS_SUPPORT_REPLACED_SYSTEM_CALL_H

#include <atomic>
#include <cerrno>

#include "posix/system_calls.h"

namespace qbtest {

template <typename Function>
class ReplacedSystemCall {
 public:
  ReplacedSystemCall(std::atomic<Function>& entry, Function replacement)
      : entry_(entry), original_(entry.exchange(replacement)) {}
  ~ReplacedSystemCall() { entry_.store(original_); }
  ReplacedSystemCall(const ReplacedSystemCall&) = delete;
  ReplacedSystemCall& operator=(const ReplacedSystemCall&) = delete;

 private:
  std::atomic<Function>& entry_;
  Function original_;
};

// How often the platform layer has made the call so far, in this process.
inline unsigned long CallCount(qbplatform::SystemCall call) {
  return qbplatform::g_systemCalls.counts[static_cast<int>(call)].load();
}

constexpr int kSystemCallCount = static_cast<int>(qbplatform::SystemCall::kCount);

// Each call's name, in the order of qbplatform::SystemCall.
inline const char* const kSystemCallNames[] = {
#define QB_CALL_NAME(name, result, parameters, arguments) #name,
    QB_SYSTEM_CALLS(QB_CALL_NAME)
#undef QB_CALL_NAME
};

// Calls that found nothing: a receive before the data was there (EAGAIN),
// a poll that ran out. Counted by these replacements of recv and poll.
inline std::atomic<unsigned long> g_emptyReceives{0};
inline std::atomic<unsigned long> g_emptyPolls{0};

inline ssize_t CountingRecv(int fd, void* buffer, size_t length, int flags) {
  const ssize_t n = ::recv(fd, buffer, length, flags);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) g_emptyReceives.fetch_add(1);
  return n;
}

inline int CountingPoll(pollfd* entries, nfds_t count, int timeoutMs) {
  const int n = ::poll(entries, count, timeoutMs);
  if (n <= 0) g_emptyPolls.fetch_add(1);
  return n;
}

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_REPLACED_SYSTEM_CALL_H
