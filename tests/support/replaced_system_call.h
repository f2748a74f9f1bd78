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

#include "system_calls.h"

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

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_REPLACED_SYSTEM_CALL_H
