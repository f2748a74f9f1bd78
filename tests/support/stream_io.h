// Moving bytes through sockets in tests, on Linux and under Wine: on raw
// sockets (the test peers' side) and on CSocket (the host's side), never
// waiting longer than a limit for the next byte, so that a peer that falls
// silent fails a test instead of hanging it.
#ifndef QBSOCKS_TESTS_SUPPORT_STREAM_IO_H
#define QBSOCKS_TESTS_SUPPORT_STREAM_IO_H

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "afxsock.h"
#include "support/test_platform.h"

namespace qbtest {

// How long a read waits for the next byte before it gives up: long enough
// for a loaded machine, as it only runs out when a test fails anyway.
constexpr std::chrono::milliseconds kQuietLimit{10000};

sockaddr_in LoopbackAddress(uint16_t port);  // 127.0.0.1:port

// What the tests' servers share: a port on 127.0.0.1 that each holds for
// its lifetime, which is why none of them is copied.
class OnLoopbackPort {
 public:
  OnLoopbackPort(const OnLoopbackPort&) = delete;
  OnLoopbackPort& operator=(const OnLoopbackPort&) = delete;

  uint16_t port() const { return port_; }

 protected:
  OnLoopbackPort() = default;
  ~OnLoopbackPort() = default;

  uint16_t port_ = 0;
};

// A TCP socket bound to 127.0.0.1 with a port of the system's choosing
// (set in `port`), listening unless told otherwise; throws when there is none.
NativeSocket BindLoopback(uint16_t& port, bool listening = true);

// A socket connected to 127.0.0.1:port; kNoSocket when that fails.
NativeSocket ConnectToLoopback(uint16_t port);

// Reproducible pseudo-random bytes: payloads whose every byte counts.
std::string RandomBytes(size_t size, unsigned seed);

bool SendAll(NativeSocket s, std::string_view bytes);

// What a read got, and whether the stream ended (closed, reset or failed)
// rather than fell silent.
struct Reading {
  std::string bytes;
  bool ended = false;
};

constexpr size_t kUntilTheEnd = std::numeric_limits<size_t>::max();

// Reads until `count` bytes have come, the stream ends, or nothing comes
// for `quiet`.
Reading ReadUpTo(NativeSocket s, size_t count, std::chrono::milliseconds quiet = kQuietLimit);

// Exactly `count` bytes, or nothing when the stream ends or falls silent first.
std::optional<std::string> ReadExactly(NativeSocket s, size_t count);

// Reads and drops everything until the peer closes (or falls silent).
void DrainUntilClose(NativeSocket s);

// Waits until data (or the end of the stream) can be read, without taking any.
bool WaitReadable(const CAsyncSocket& socket, std::chrono::milliseconds limit);

// Receives `count` bytes with the blocking receive, each only once it has
// come; fewer when the connection ends or falls silent for `quiet`.
std::string ReceiveExactly(CSocket& socket, size_t count, std::chrono::milliseconds quiet = kQuietLimit);

// Sends the payload through the socket and gathers what comes back. At
// most a window's worth is in flight, so neither end stalls on full
// buffers while the other waits for it.
std::string EchoThrough(CSocket& socket, const std::string& payload);

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_STREAM_IO_H
