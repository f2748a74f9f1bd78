// What the robustness tests share: a loopback server that hands every
// connection to a handler, microsocks in front of an echo target, and the
// list of this process's open descriptors.
#ifndef QBSOCKS_TESTS_ROBUSTNESS_LOOPBACK_SERVER_H
#define QBSOCKS_TESTS_ROBUSTNESS_LOOPBACK_SERVER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/servers.h"
#include "support/stream_io.h"
#include "support/temp_hive.h"

namespace qbtest {

// Listens on 127.0.0.1 with a port of its own and runs the handler for
// each connection in turn, on one thread, closing the connection when the
// handler returns. A handler that waits must use the helpers of
// support/stream_io.h (and ReadThroughZero below), which give up after a
// few seconds, so that a misbehaving client cannot wedge the server.
class LoopbackServer {
 public:
  using Handler = std::function<void(int fd)>;

  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t port() const { return port_; }

  // Connections whose handler has returned and which have been closed.
  size_t Handled() const { return handled_.load(); }
  // Waits (polling) until Handled() reaches count; false after the limit.
  bool WaitHandled(size_t count, std::chrono::milliseconds limit) const;

 private:
  void Run();

  Handler handler_;
  int listener_ = -1;
  int wake_ = -1;  // eventfd that ends the accept loop
  uint16_t port_ = 0;
  std::atomic<size_t> handled_{0};
  std::thread thread_;
};

// Reads up to and including the first zero byte (at most limit bytes).
std::optional<std::string> ReadThroughZero(int fd, size_t limit);

// microsocks (SOCKS5 without authentication) with an echo target behind
// it, and settings that send Connect through it.
struct EchoBehindMicrosocks {
  EchoBehindMicrosocks() { WriteSettings(hive, ProxyAt(proxy->port(), 5)); }

  TempHive hive;
  EchoServer echo;
  std::unique_ptr<ProxyProcess> proxy = StartMicrosocks();
};

// The descriptors open in this process right now, each as "fd -> target".
std::vector<std::string> OpenDescriptors();

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_ROBUSTNESS_LOOPBACK_SERVER_H
