// Many threads, each with CSocks objects of its own, connecting at once
// through a real SOCKS5 proxy (microsocks) to an echo target: every
// connect succeeds and every byte comes back as it was sent. The tsan
// preset runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CSocks.h"
#include "robustness/loopback_server.h"

namespace qbtest {
namespace {

constexpr int kThreads = 32;
constexpr int kConnectsPerThread = 200;
constexpr std::chrono::seconds kReadLimit{10};

// A payload no other connect sends, so that crossed streams would show.
std::string Payload(int thread, int round) {
  std::string text = "thread " + std::to_string(thread) + " round " + std::to_string(round) + " ";
  while (text.size() < 512) text += static_cast<char>('a' + (text.size() * 7 + thread + round) % 26);
  return text;
}

// One connect, one exchange; empty on success, else what went wrong.
std::string ConnectAndEcho(uint16_t echo_port, int thread, int round) {
  CSocks socks;
  if (!socks.Create()) return "Create failed: " + std::to_string(WSAGetLastError());
  if (socks.Connect("127.0.0.1", echo_port) != 1) return "Connect failed";
  const std::string payload = Payload(thread, round);
  const int size = static_cast<int>(payload.size());
  if (socks.Send(payload.data(), size) != size) return "Send failed";
  const std::string echoed = ReceiveExactly(socks, payload.size(), kReadLimit);
  if (echoed.size() < payload.size()) {
    return "echo ended or fell silent after " + std::to_string(echoed.size()) + " bytes";
  }
  return echoed == payload ? "" : "echo differs from what was sent";
}

TEST(Load, ThirtyTwoThreadsThroughMicrosocks) {
  ASSERT_TRUE(AfxSocketInit());
  EchoBehindMicrosocks servers;

  std::atomic<int> succeeded{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kConnectsPerThread; ++round) {
        const std::string failure = ConnectAndEcho(servers.echo.port(), t, round);
        if (failure.empty()) {
          succeeded.fetch_add(1);
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back("thread " + std::to_string(t) + " round " + std::to_string(round) + ": " + failure);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(succeeded.load(), kThreads * kConnectsPerThread)
      << failures.size() << " failed; first: " << (failures.empty() ? "" : failures.front()) << "\nmicrosocks said:\n"
      << servers.proxy->Diagnostics();
}

}  // namespace
}  // namespace qbtest
