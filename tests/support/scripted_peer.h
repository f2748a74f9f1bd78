// A scripted proxy peer: a thread on 127.0.0.1 that accepts one connection
// and plays a script against it (read so many bytes, send these bytes,
// drip, pause, close, reset), recording every byte it received.
#ifndef QBSOCKS_TESTS_SCRIPTED_PEER_H
#define QBSOCKS_TESTS_SCRIPTED_PEER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/stream_io.h"
#include "support/test_platform.h"
#include "support/wire.h"

namespace qbtest {

using std::chrono::milliseconds;

struct PeerStep {
  enum class Kind { Expect, Send, Drip, AwaitClientRead, Close, Reset };
  Kind kind;
  std::string bytes;         // Expect: as many bytes are read; Send/Drip: sent
  milliseconds interval{0};  // Drip: between bytes

  static PeerStep Expect(std::string wire) { return {Kind::Expect, std::move(wire), {}}; }
  static PeerStep Send(std::string wire) { return {Kind::Send, std::move(wire), {}}; }
  static PeerStep Drip(std::string wire, milliseconds gap) { return {Kind::Drip, std::move(wire), gap}; }
  // Waits until the client has read every byte sent to it so far (see
  // ScriptedPeer::WatchClient): what is sent next arrives apart from it.
  static PeerStep AwaitClientRead() { return {Kind::AwaitClientRead, {}, {}}; }
  static PeerStep Close() { return {Kind::Close, {}, {}}; }
  static PeerStep Reset() { return {Kind::Reset, {}, {}}; }
};

using PeerScript = std::vector<PeerStep>;

// After the script the peer keeps reading (and recording) until the client
// closes, so a test can see both what was sent and that nothing followed.
class ScriptedPeer : public OnLoopbackPort {
 public:
  explicit ScriptedPeer(PeerScript script);
  ~ScriptedPeer();

  // The client's end of the connection, which AwaitClientRead looks at.
  void WatchClient(SOCKET client) { client_ = static_cast<NativeSocket>(client); }

  // Waits until the peer is done (the client closed, or the peer's own
  // limit of 30 s passed), then returns all it received.
  std::string Received();
  // True when the client closed its end while the peer was still reading.
  bool SawClientClose();

 private:
  void Run();
  bool ReadExactly(NativeSocket fd, size_t count);
  size_t Record(const Reading& reading);  // keeps what came; returns how much
  bool AwaitClientRead(NativeSocket fd);
  void DrainUntilClose(NativeSocket fd);

  PeerScript script_;
  NativeSocket listener_ = kNoSocket;
  std::atomic<NativeSocket> client_{kNoSocket};
  std::mutex mutex_;
  std::string received_;
  bool client_closed_ = false;
  std::thread thread_;
};

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SCRIPTED_PEER_H
