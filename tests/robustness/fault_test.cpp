// Faults a proxy can commit, beyond those the unit tables already cover:
// a scripted proxy that closes or resets at points the tables do not reach,
// a real proxy's target that speaks first (its bytes right behind the
// reply), and a real proxy killed under open connections.
#include <poll.h>
#include <signal.h>

#include <memory>
#include <random>

#include "csocks_fixture.h"
#include "robustness/loopback_server.h"

namespace qbtest {
namespace {

const std::string kOffer = Bytes({5, 2, 0, 2});
const std::string kNoAuth = Bytes({5, 0});
const std::string kRequest1234 = Bytes({5, 1, 0, 1, 1, 2, 3, 4, 0, 80});
const char kGeneral[] = "General negotiation failure";

std::string Socks4Request10001() {
  return Bytes({4, 1, 0, 80, 10, 0, 0, 1}) + LogonName() + std::string(1, '\0');
}

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
        NegotiationCase{"socks5_close_after_method_choice", 5, "", "", "1.2.3.4", 80,
                        {PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth), PeerStep::Close(),
                         PeerStep::Expect(kRequest1234)},
                        0, {kGeneral}},
        NegotiationCase{"socks5_close_after_auth_accepted", 5, "u", "p", "1.2.3.4", 80,
                        {PeerStep::Expect(kOffer), PeerStep::Send(Bytes({5, 2})),
                         PeerStep::Expect(Bytes({1, 1, 'u', 1, 'p'})), PeerStep::Send(Bytes({1, 0})),
                         PeerStep::Close(), PeerStep::Expect(kRequest1234)},
                        0, {kGeneral}},
        NegotiationCase{"socks5_reset_mid_reply", 5, "", "", "1.2.3.4", 80,
                        {PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                         PeerStep::Expect(kRequest1234), PeerStep::Send(Bytes({5, 0, 0, 1, 127})),
                         PeerStep::Reset()},
                        0, {kGeneral}},
        NegotiationCase{"socks5_reset_mid_choice", 5, "", "", "1.2.3.4", 80,
                        {PeerStep::Expect(kOffer), PeerStep::Send(Bytes({5})), PeerStep::Reset()},
                        0, {kGeneral}},
        NegotiationCase{"socks4_reset_mid_reply", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(Socks4Request10001()), PeerStep::Send(Bytes({0, 90, 0})),
                         PeerStep::Reset()},
                        0, {kGeneral}}),
    [](const ::testing::TestParamInfo<NegotiationCase>& info) { return info.param.name; });

// ---- Real proxies ----

struct RealProxy {
  const char* name;
  std::unique_ptr<ProxyProcess> (*start)();
  DWORD version;
  const char* user;
  const char* password;
};

std::unique_ptr<ProxyProcess> StartMicrosocksWithPassword() {
  return StartMicrosocks("alice", "s3cret");
}

const RealProxy kRealProxies[] = {
    {"DanteSocks4", StartDante, 4, "", ""},
    {"DanteSocks5", StartDante, 5, "", ""},
    {"MicrosocksSocks5", StartMicrosocks, 5, "", ""},
    {"MicrosocksSocks5Password", StartMicrosocksWithPassword, 5, "alice", "s3cret"},
};

void PrintTo(const RealProxy& proxy, std::ostream* out) { *out << proxy.name; }


// Receives exactly count bytes, never blocking longer than a few seconds
// for any of them.
std::string ReceiveGuarded(CSocket& socket, size_t count) {
  std::string out;
  char buffer[4096];
  while (out.size() < count && WaitReadable(socket, std::chrono::seconds(5))) {
    const int got = socket.Receive(buffer, static_cast<int>(std::min(sizeof(buffer), count - out.size())));
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

class TargetSpeaksFirst : public ::testing::TestWithParam<RealProxy> {};

// The target greets as soon as the proxy reaches it, so its first bytes
// may travel in the very segment that carries the proxy's reply.
TEST_P(TargetSpeaksFirst, GreetingReachesTheHostIntact) {
  ASSERT_TRUE(AfxSocketInit());
  const RealProxy& path = GetParam();
  const std::string greeting = RandomBytes(4096, 11);
  LoopbackServer target([&](int fd) {
    SendAll(fd, greeting);
    DrainUntilClose(fd);
  });
  auto proxy = path.start();
  TempHive hive;
  WriteSettings(hive, ProxyAt(proxy->port(), path.version, path.user, path.password));

  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  ASSERT_EQ(socks.Connect("127.0.0.1", target.port()), 1) << proxy->Diagnostics();
  EXPECT_EQ(ReceiveGuarded(socks, greeting.size()), greeting);
}

INSTANTIATE_TEST_SUITE_P(Interop, TargetSpeaksFirst, ::testing::ValuesIn(kRealProxies),
                         [](const auto& info) { return std::string(info.param.name); });

// A real proxy that accepts and then says nothing: microsocks, stopped. The
// kernel still completes the TCP handshake, so Connect reaches the
// negotiation and has to give up on its own after the ten-second budget.
TEST(ProxyFrozen, ConnectGivesUpAfterTenSecondsNotLater) {
  ASSERT_TRUE(AfxSocketInit());
  TempHive hive;
  EchoServer echo;
  auto proxy = StartMicrosocks();
  WriteSettings(hive, ProxyAt(proxy->port(), 5));
  TakeReportedMessages();

  ASSERT_EQ(kill(proxy->pid(), SIGSTOP), 0);
  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  const auto start = std::chrono::steady_clock::now();
  const int result = socks.Connect("127.0.0.1", echo.port());
  const double elapsed = SecondsSince(start);
  kill(proxy->pid(), SIGCONT);

  EXPECT_EQ(result, 0);
  EXPECT_FALSE(socks.IsOpen());
  EXPECT_EQ(TakeReportedMessages(), std::vector<std::string>{kGeneral});
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
  TempHive hive;
  EchoServer echo;
  auto proxy = StartMicrosocks();
  WriteSettings(hive, ProxyAt(proxy->port(), 5));

  constexpr int kOpen = 8;
  std::vector<std::unique_ptr<ProbeSocks>> sockets;
  for (int i = 0; i < kOpen; ++i) {
    auto socks = std::make_unique<ProbeSocks>();
    ASSERT_TRUE(socks->Create());
    ASSERT_EQ(socks->Connect("127.0.0.1", echo.port()), 1) << proxy->Diagnostics();
    const std::string ping = "ping " + std::to_string(i);
    ASSERT_EQ(socks->Send(ping.data(), static_cast<int>(ping.size())), static_cast<int>(ping.size()));
    ASSERT_EQ(ReceiveGuarded(*socks, ping.size()), ping);
    sockets.push_back(std::move(socks));
  }

  ASSERT_EQ(kill(proxy->pid(), SIGKILL), 0);

  for (auto& socks : sockets) {
    // The next receive reports the end of the stream (or a reset), and
    // does so without waiting for anything.
    ASSERT_TRUE(WaitReadable(*socks, std::chrono::seconds(5))) << "no sign of the close";
    char byte;
    const int got = socks->Receive(&byte, 1);
    EXPECT_LE(got, 0);
    if (got < 0) {
      EXPECT_TRUE(WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAECONNABORTED)
          << WSAGetLastError();
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
