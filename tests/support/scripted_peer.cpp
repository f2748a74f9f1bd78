#include "support/scripted_peer.h"

#include <stdexcept>

#include "support/test_platform.h"

namespace qbtest {
namespace {

constexpr auto kPeerLimit = std::chrono::seconds(30);

NativeSocket OpenLoopbackListener(uint16_t* port) {
  NativeSocket fd = OpenTcpSocket();
  if (fd == kNoSocket) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    CloseNativeSocket(fd);
    throw std::runtime_error("listen on 127.0.0.1");
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// Waits for fd to become readable until the deadline.
bool WaitReadableUntil(NativeSocket fd, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  return WaitReadable(fd, left);
}

bool SendAll(NativeSocket fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    auto n = send(fd, bytes.data() + sent, static_cast<int>(bytes.size() - sent), kSendNoSignal);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Waits `gap` for the client to close; any bytes it sends meanwhile stay
// queued for the next Expect.
bool ClientClosed(NativeSocket fd, milliseconds gap) { return PeerClosed(fd, gap); }

}  // namespace

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

ScriptedPeer::ScriptedPeer(PeerScript script) : script_(std::move(script)) {
  listener_ = OpenLoopbackListener(&port_);
  thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
  if (thread_.joinable()) thread_.join();
  if (listener_ != kNoSocket) CloseNativeSocket(listener_);
}

std::string ScriptedPeer::Received() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool ScriptedPeer::SawClientClose() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return client_closed_;
}

void ScriptedPeer::Run() {
  const auto deadline = std::chrono::steady_clock::now() + kPeerLimit;
  if (!WaitReadableUntil(listener_, deadline)) return;
  NativeSocket fd = AcceptConnection(listener_);
  if (fd == kNoSocket) return;

  bool open = true;
  for (const PeerStep& step : script_) {
    if (!open) break;
    switch (step.kind) {
      case PeerStep::Kind::Expect:
        open = ReadExactly(fd, step.bytes.size());
        break;
      case PeerStep::Kind::Send:
        open = SendAll(fd, step.bytes);
        break;
      case PeerStep::Kind::Drip:
        // Stops once the client has gone: a send to a closed connection fails.
        for (size_t i = 0; open && i < step.bytes.size(); ++i) {
          if (ClientClosed(fd, step.interval)) {
            std::lock_guard<std::mutex> lock(mutex_);
            client_closed_ = true;
            open = false;
          } else {
            open = SendAll(fd, step.bytes.substr(i, 1));
          }
        }
        break;
      case PeerStep::Kind::AwaitClientRead:
        open = AwaitClientRead(fd);
        break;
      case PeerStep::Kind::Close:
        shutdown(fd, kShutdownWrite);
        break;
      case PeerStep::Kind::Reset: {
        ResetConnection(fd);
        fd = kNoSocket;
        open = false;
        break;
      }
    }
  }
  if (fd != kNoSocket) {
    if (open) DrainUntilClose(fd);
    CloseNativeSocket(fd);
  }
}

bool ScriptedPeer::ReadExactly(NativeSocket fd, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + kPeerLimit;
  char buffer[4096];
  while (count > 0) {
    if (!WaitReadableUntil(fd, deadline)) return false;
    auto n = recv(fd, buffer, static_cast<int>(std::min(count, sizeof(buffer))), 0);
    if (n <= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      client_closed_ = true;
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    received_.append(buffer, static_cast<size_t>(n));
    count -= static_cast<size_t>(n);
  }
  return true;
}

// The bytes sent have reached the client's queue (acknowledged), and that
// queue is empty: the client has read them all.
bool ScriptedPeer::AwaitClientRead(NativeSocket fd) {
  const auto deadline = std::chrono::steady_clock::now() + kPeerLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    const NativeSocket client = client_.load();
    if (client != kNoSocket && SentBytesArrived(fd) && BytesWaiting(client) == 0) return true;
    std::this_thread::sleep_for(milliseconds(1));  // between looks, not instead of them
  }
  return false;
}

void ScriptedPeer::DrainUntilClose(NativeSocket fd) {
  const auto deadline = std::chrono::steady_clock::now() + kPeerLimit;
  char buffer[4096];
  while (WaitReadableUntil(fd, deadline)) {
    auto n = recv(fd, buffer, static_cast<int>(sizeof(buffer)), 0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
      client_closed_ = true;
      return;
    }
    received_.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace qbtest
