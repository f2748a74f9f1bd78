#include "support/scripted_peer.h"

#include "support/stream_io.h"
#include "support/test_platform.h"

namespace qbtest {
namespace {

constexpr auto kPeerLimit = std::chrono::seconds(30);

}  // namespace

ScriptedPeer::ScriptedPeer(PeerScript script) : script_(std::move(script)) {
  listener_ = BindLoopback(port_);
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
  if (!WaitReadable(listener_, kPeerLimit)) return;
  NativeSocket fd = AcceptConnection(listener_);
  if (fd == kNoSocket) return;

  bool open = true;
  for (const PeerStep& step : script_) {
    if (!open) break;
    switch (step.kind) {
      case PeerStep::Kind::Expect: open = ReadExactly(fd, step.bytes.size()); break;
      case PeerStep::Kind::Send: open = SendAll(fd, step.bytes); break;
      case PeerStep::Kind::Drip:
        // Stops once the client has gone: a send to a closed connection fails.
        for (size_t i = 0; open && i < step.bytes.size(); ++i) {
          if (PeerClosed(fd, step.interval)) {  // bytes it sent stay queued
            std::lock_guard<std::mutex> lock(mutex_);
            client_closed_ = true;
            open = false;
          } else {
            open = SendAll(fd, step.bytes.substr(i, 1));
          }
        }
        break;
      case PeerStep::Kind::AwaitClientRead: open = AwaitClientRead(fd); break;
      case PeerStep::Kind::Close: shutdown(fd, kShutdownWrite); break;
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
  return Record(ReadUpTo(fd, count, kPeerLimit)) == count;
}

size_t ScriptedPeer::Record(const Reading& reading) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_ += reading.bytes;
  client_closed_ |= reading.ended;
  return reading.bytes.size();
}

// The bytes sent have reached the client's queue (acknowledged), and that
// queue is empty: the client has read them all.
bool ScriptedPeer::AwaitClientRead(NativeSocket fd) {
  const auto deadline = std::chrono::steady_clock::now() + kPeerLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    const NativeSocket client = client_.load();
    if (client != kNoSocket && SentBytesArrived(fd) && BytesWaiting(client) == 0) return true;
    if (PeerClosed(fd, milliseconds(0))) {  // its socket may be another's by now
      std::lock_guard<std::mutex> lock(mutex_);
      client_closed_ = true;
      return false;
    }
    std::this_thread::sleep_for(milliseconds(1));  // between looks, not instead of them
  }
  return false;
}

void ScriptedPeer::DrainUntilClose(NativeSocket fd) { Record(ReadUpTo(fd, kUntilTheEnd, kPeerLimit)); }

}  // namespace qbtest
