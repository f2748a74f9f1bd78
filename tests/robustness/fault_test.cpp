// Faults a proxy can commit, beyond those the unit tables already cover:
// a scripted proxy that closes or resets at points the tables do not reach,
// a real proxy's target that speaks first (its bytes right behind the
// reply), and a real proxy killed under open connections.
#include <poll.h>
#include <signal.h>

#include <memory>

#include "unit/csocks_fixture.h"
#include "robustness/loopback_server.h"
#include "support/proxy_paths.h"

namespace qbtest {
namespace {

class ScriptedFault : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(ScriptedFault, FailsAtOnceWithTheGeneralText) {
  const auto start = std::chrono::steady_clock::now();
  RunNegotiationCase(GetParam());
  EXPECT_LT(SecondsSince(start), 5.0) << "a closed or reset connection is not a silent one";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ScriptedFault,
    ::testing::Values(
        // The proxy's end is shut once its answer is out; the client's
        // next request still reaches it.
        Socks5Row("socks5_close_after_method_choice")
            .NoAuth()
            .Then({PeerStep::Close()})
            .Request()
            .Fails(kGeneralFailure),
        Socks5Row("socks5_close_after_auth_accepted")
            .As("u", "p")
            .Password()
            .Then({PeerStep::Close()})
            .Request()
            .Fails(kGeneralFailure),
        Socks5Row("socks5_reset_mid_reply")
            .NoAuth()
            .Replies(Bytes({5, 0, 0, 1, 127}))
            .Then({PeerStep::Reset()})
            .Fails(kGeneralFailure),
        Socks5Row("socks5_reset_mid_choice").Choice(Bytes({5})).Then({PeerStep::Reset()}).Fails(kGeneralFailure),
        Socks4Row("socks4_reset_mid_reply")
            .Replies(Bytes({0, 90, 0}))
            .Then({PeerStep::Reset()})
            .Fails(kGeneralFailure)),
    CaseName);

// ---- Real proxies ----

class TargetSpeaksFirst : public ::testing::TestWithParam<ProxyPath> {};

// The target greets as soon as the proxy reaches it, so its first bytes
// may travel in the very segment that carries the proxy's reply.
TEST_P(TargetSpeaksFirst, GreetingReachesTheHostIntact) {
  ASSERT_TRUE(AfxSocketInit());
  const ProxyPath& path = GetParam();
  const std::string greeting = RandomBytes(4096, 11);
  LoopbackServer target([&](int fd) {
    SendAll(fd, greeting);
    DrainUntilClose(fd);
  });
  auto proxy = StartProxy(path.daemon);
  TempHive hive;
  WriteSettings(hive, ProxyAt(proxy->port(), path.version, UserFor(path), PasswordFor(path)));

  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  ASSERT_EQ(socks.Connect("127.0.0.1", target.port()), 1) << proxy->Diagnostics();
  EXPECT_EQ(ReceiveExactly(socks, greeting.size()), greeting);
}

INSTANTIATE_TEST_SUITE_P(Interop, TargetSpeaksFirst, ::testing::ValuesIn(kProxyPaths), PathName());

// A real proxy that accepts and then says nothing: microsocks, stopped. The
// kernel still completes the TCP handshake, so Connect reaches the
// negotiation and has to give up on its own after the ten-second budget.
TEST(ProxyFrozen, ConnectGivesUpAfterTenSecondsNotLater) {
  ASSERT_TRUE(AfxSocketInit());
  EchoBehindMicrosocks servers;
  ProxyProcess& proxy = *servers.proxy;
  TakeReportedMessages();

  ASSERT_EQ(kill(proxy.pid(), SIGSTOP), 0);
  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  const auto start = std::chrono::steady_clock::now();
  const int result = socks.Connect("127.0.0.1", servers.echo.port());
  const double elapsed = SecondsSince(start);
  kill(proxy.pid(), SIGCONT);

  EXPECT_EQ(result, 0);
  EXPECT_FALSE(socks.IsOpen());
  EXPECT_EQ(TakeReportedMessages(), std::vector<std::string>{kGeneralFailure});
  EXPECT_GE(elapsed, 10.0);
  EXPECT_LT(elapsed, kBudgetUpperBoundSeconds);
}

// Waits until the socket reports an error or hang-up; false after the limit.
bool WaitHangUp(const CAsyncSocket& socket, std::chrono::milliseconds limit) {
  pollfd p{static_cast<int>(socket.m_hSocket), POLLOUT, 0};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (poll(&p, 1, 50) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0) return true;
  }
  return false;
}

TEST(ProxyKilled, OpenConnectionsSeeTheCloseWithoutHangOrSignal) {
  ASSERT_TRUE(AfxSocketInit());
  EchoBehindMicrosocks servers;
  ProxyProcess& proxy = *servers.proxy;

  constexpr int kOpen = 8;
  std::vector<std::unique_ptr<ProbeSocks>> sockets;
  for (int i = 0; i < kOpen; ++i) {
    auto socks = std::make_unique<ProbeSocks>();
    ASSERT_TRUE(socks->Create());
    ASSERT_EQ(socks->Connect("127.0.0.1", servers.echo.port()), 1) << proxy.Diagnostics();
    const std::string ping = "ping " + std::to_string(i);
    ASSERT_EQ(socks->Send(ping.data(), static_cast<int>(ping.size())), static_cast<int>(ping.size()));
    ASSERT_EQ(ReceiveExactly(*socks, ping.size()), ping);
    sockets.push_back(std::move(socks));
  }

  ASSERT_EQ(kill(proxy.pid(), SIGKILL), 0);

  for (auto& socks : sockets) {
    // The next receive reports the end of the stream (or a reset), and
    // does so without waiting for anything.
    ASSERT_TRUE(WaitReadable(*socks, std::chrono::seconds(5))) << "no sign of the close";
    char byte;
    const int got = socks->Receive(&byte, 1);
    EXPECT_LE(got, 0);
    if (got < 0) {
      EXPECT_TRUE(WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAECONNABORTED) << WSAGetLastError();
    }
    // Sending into the dead connection fails with an error, and raises no
    // SIGPIPE (which would end this process): the first send draws the
    // reset, the one after it fails.
    const char data[] = "after the proxy died";
    if (socks->Send(data, sizeof(data)) != SOCKET_ERROR) {
      ASSERT_TRUE(WaitHangUp(*socks, std::chrono::seconds(5)));
      EXPECT_EQ(socks->Send(data, sizeof(data)), SOCKET_ERROR);
    }
    socks->Close();
  }
}

}  // namespace
}  // namespace qbtest
