#include "support/stream_io.h"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

namespace qbtest {

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

NativeSocket BindLoopback(uint16_t& port, bool listening) {
  const NativeSocket s = OpenTcpSocket();
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof(address);
  if (s == kNoSocket || bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (listening && listen(s, SOMAXCONN) != 0) ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (s != kNoSocket) CloseNativeSocket(s);
    throw std::runtime_error(listening ? "cannot listen on 127.0.0.1" : "cannot bind 127.0.0.1:0");
  }
  port = ntohs(address.sin_port);
  return s;
}

NativeSocket ConnectToLoopback(uint16_t port) {
  const NativeSocket s = OpenTcpSocket();
  const sockaddr_in address = LoopbackAddress(port);
  const auto* raw = reinterpret_cast<const sockaddr*>(&address);
  if (s != kNoSocket && connect(s, raw, sizeof(address)) == 0) return s;
  if (s != kNoSocket) CloseNativeSocket(s);
  return kNoSocket;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

bool SendAll(NativeSocket s, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto sent = send(s, bytes.data(), static_cast<int>(bytes.size()), kSendNoSignal);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

Reading ReadUpTo(NativeSocket s, size_t count, std::chrono::milliseconds quiet) {
  Reading reading;
  char buffer[16 * 1024];
  while (reading.bytes.size() < count && WaitReadable(s, quiet)) {
    const size_t want = std::min(sizeof(buffer), count - reading.bytes.size());
    const auto got = recv(s, buffer, static_cast<int>(want), 0);
    if (got <= 0) {
      reading.ended = true;
      break;
    }
    reading.bytes.append(buffer, static_cast<size_t>(got));
  }
  return reading;
}

std::optional<std::string> ReadExactly(NativeSocket s, size_t count) {
  Reading reading = ReadUpTo(s, count);
  if (reading.bytes.size() != count) return std::nullopt;
  return std::move(reading.bytes);
}

void DrainUntilClose(NativeSocket s) { ReadUpTo(s, kUntilTheEnd); }

bool WaitReadable(const CAsyncSocket& socket, std::chrono::milliseconds limit) {
  return WaitReadable(static_cast<NativeSocket>(socket.m_hSocket), limit);
}

std::string ReceiveExactly(CSocket& socket, size_t count, std::chrono::milliseconds quiet) {
  std::string out;
  char buffer[16 * 1024];
  while (out.size() < count && WaitReadable(socket, quiet)) {
    const int want = static_cast<int>(std::min(sizeof(buffer), count - out.size()));
    const int got = socket.Receive(buffer, want);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

std::string EchoThrough(CSocket& socket, const std::string& payload) {
  constexpr size_t kChunk = 16 * 1024;
  constexpr size_t kWindow = 64 * 1024;
  std::string echoed;
  size_t sent = 0;
  while (echoed.size() < payload.size()) {
    if (sent < payload.size() && sent - echoed.size() < kWindow) {
      const int chunk = static_cast<int>(std::min(kChunk, payload.size() - sent));
      if (socket.Send(payload.data() + sent, chunk) != chunk) break;
      sent += static_cast<size_t>(chunk);
      continue;
    }
    if (!WaitReadable(socket, std::chrono::seconds(10))) break;
    char buffer[kChunk];
    const int got = socket.Receive(buffer, static_cast<int>(sizeof(buffer)));
    if (got <= 0) break;
    echoed.append(buffer, static_cast<size_t>(got));
  }
  return echoed;
}

}  // namespace qbtest
