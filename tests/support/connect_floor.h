// The floor of system calls of one CSocks connect: what a connect whose
// replies were all there when first read makes, call by call (POSIX only).
// The connect floor test asserts it and the benchmark reports against it,
// so both read it here.
//
// A reply not there when first read costs one empty receive and the poll
// that saw it come, above the floor; a poll slice that ran out is part of a
// wait. The tick count (clock_gettime, answered by the vDSO) is not counted.
#ifndef QBSOCKS_TESTS_SUPPORT_CONNECT_FLOOR_H
#define QBSOCKS_TESTS_SUPPORT_CONNECT_FLOOR_H

#include <array>
#include <initializer_list>
#include <utility>

#include "support/replaced_system_call.h"

namespace qbtest {

class ConnectFloor {
 public:
  using Calls = std::initializer_list<std::pair<qbplatform::SystemCall, unsigned long>>;

  // The same floor with these calls added to it.
  constexpr ConnectFloor With(Calls calls) const {
    ConnectFloor more = *this;
    for (const auto& [call, count] : calls) more.calls_[static_cast<int>(call)] += count;
    return more;
  }
  constexpr unsigned long operator[](qbplatform::SystemCall call) const { return calls_[static_cast<int>(call)]; }
  constexpr unsigned long Total() const {
    unsigned long total = 0;
    for (const unsigned long count : calls_) total += count;
    return total;
  }

 private:
  std::array<unsigned long, kSystemCallCount> calls_{};
};

// Proxy off: the settings file's stat, then the class library's
// non-blocking connect: socket, connect, the poll that waits for it,
// getsockopt (how it ended), close.
inline constexpr ConnectFloor kDirectConnectFloor = ConnectFloor{}.With({
    {qbplatform::SystemCall::stat, 1},
    {qbplatform::SystemCall::socket, 1},
    {qbplatform::SystemCall::connect, 1},
    {qbplatform::SystemCall::poll, 1},
    {qbplatform::SystemCall::getsockopt, 1},
    {qbplatform::SystemCall::close, 1},
});

// Through SOCKS5 without authentication: the same, plus the offer and the
// CONNECT sent, and the method choice, the reply's first 7 bytes and its
// IPv4 rest (3 bytes) received, each in one receive.
inline constexpr ConnectFloor kSocks5ConnectFloor =
    kDirectConnectFloor.With({{qbplatform::SystemCall::send, 2}, {qbplatform::SystemCall::recv, 3}});

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_CONNECT_FLOOR_H
