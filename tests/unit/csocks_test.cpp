// CSocks outside the negotiations: IsDNS, the direct path, a proxy that
// refuses the connection, destruction, and the bounded receive.
#include "csocks_fixture.h"

#include <memory>

namespace qbtest {
namespace {

using ms = std::chrono::milliseconds;

TEST(IsDNS, LetterAnywhereMeansName) {
  const struct {
    const char* text;
    int is_name;
  } cases[] = {
      {"", 0},
      {"192.168.1.20", 0},
      {"10.0.0.x", 1},
      {"gateway", 1},
      {"1-2-3", 0},
      {"::1", 0},
      {"1e10", 1},
      {"Z", 1},
      {"\xe9t\xe9", 1},
      {"\xe9", 0},
      {"@[`{", 0},
      {"127.0.0.1 ", 0},
      // Each end of both letter ranges alone, and the character just outside it.
      {"10.0.0.a", 1},
      {"10.0.0.z", 1},
      {"10.0.0.A", 1},
      {"10.0.0.Z", 1},
      {"10.0.0.`", 0},
      {"10.0.0.{", 0},
      {"10.0.0.@", 0},
      {"10.0.0.[", 0},
  };
  ProbeSocks socks;
  for (const auto& c : cases) EXPECT_EQ(socks.IsDNS(c.text), c.is_name) << '"' << c.text << '"';
  EXPECT_EQ(socks.IsDNS(nullptr), 0);
}

TEST(DirectPath, ReachesTargetWhenProxyIsOff) {
  TempHive hive;
  WriteSettings(hive, {0, "127.0.0.1", 1, 5, "", ""});
  ScriptedPeer target(TargetExchange());
  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  ASSERT_EQ(socks.Connect("127.0.0.1", target.port()), 1);
  EXPECT_TRUE(TradeHellos(socks));
  socks.Close();
  EXPECT_EQ(target.Received(), kClientHello) << "nothing but the host's bytes on the direct path";
}

TEST(DirectPath, RefusedTargetLeavesSocketAsTheBaseLeftIt) {
  TempHive hive;  // no settings at all: proxy off
  RefusingPort target;
  TakeReportedMessages();
  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  EXPECT_EQ(socks.Connect("127.0.0.1", target.port()), 0);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  EXPECT_TRUE(socks.IsOpen()) << "the direct path does not close";
  EXPECT_TRUE(TakeReportedMessages().empty());
}

// A cancel that no wait took (here it comes once the connect's only wait
// is over) still ends Connect; the direct path leaves the socket open.
TEST(DirectPath, CancelAfterTheLastWaitEndsTheConnect) {
  TempHive hive;
  ScriptedPeer target({});
  ProbeSocks socks;
  socks.cancel_after_wait = 1;
  ASSERT_TRUE(socks.Create());
  EXPECT_EQ(socks.Connect("127.0.0.1", target.port()), 0);
  EXPECT_EQ(WSAGetLastError(), WSAEINTR);
  EXPECT_EQ(socks.pumps, 1);
  EXPECT_TRUE(socks.IsOpen());
}

TEST(ProxyPath, RefusedProxyClosesWithoutReport) {
  for (DWORD version : {4u, 5u}) {
    TempHive hive;
    RefusingPort proxy;
    WriteSettings(hive, ProxyAt(proxy.port(), version));
    TakeReportedMessages();
    ProbeSocks socks;
    ASSERT_TRUE(socks.Create());
    EXPECT_EQ(socks.Connect("10.0.0.1", 80), 0);
    EXPECT_FALSE(socks.IsOpen());
    EXPECT_TRUE(TakeReportedMessages().empty());
  }
}

TEST(Destruction, ClosesAnOpenSocket) {
  ProbeSocks* socks = new ProbeSocks;
  ASSERT_TRUE(socks->Create());
  const SOCKET handle = socks->m_hSocket;
  ASSERT_TRUE(SocketIsOpen(handle));
  delete socks;
  EXPECT_FALSE(SocketIsOpen(handle)) << "socket still open after destruction";
}

// MyReceive over a direct connection to a scripted peer.
class MyReceiveTest : public ::testing::Test {
 protected:
  // Connects directly to a peer playing the script; only the receives that
  // follow count as waits.
  void ConnectTo(PeerScript script) {
    peer_ = std::make_unique<ScriptedPeer>(std::move(script));
    ASSERT_TRUE(socks_.Create());
    peer_->WatchClient(socks_.m_hSocket);
    ASSERT_EQ(socks_.Connect("127.0.0.1", peer_->port()), 1);
    socks_.pumps = 0;
  }
  TempHive hive_;                       // empty: proxy off
  std::unique_ptr<ScriptedPeer> peer_;  // outlives socks_, which closes first
  ProbeSocks socks_;
  char buffer_[64] = {};
};

TEST_F(MyReceiveTest, DataWaitingIsReturnedAtOnce) {
  ConnectTo({PeerStep::Send("abc")});
  socks_.m_nTimeOut = 1234;
  ASSERT_TRUE(WaitReadable(socks_, ms(5000)));
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), 3);
  EXPECT_EQ(std::string(buffer_, 3), "abc");
  EXPECT_EQ(socks_.pumps, 0) << "no wait when data is already there";
  EXPECT_EQ(socks_.m_nTimeOut, 1234);
}

TEST_F(MyReceiveTest, ReturnsFirstPieceOnly) {
  ConnectTo({PeerStep::Send("ab"), PeerStep::AwaitClientRead(), PeerStep::Send("cd")});
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), 2);
  EXPECT_EQ(std::string(buffer_, 2), "ab");
}

TEST_F(MyReceiveTest, AbandonedWaitEndsTheCall) {
  ConnectTo({});
  socks_.m_nTimeOut = 555;
  socks_.abandon_waits = true;
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), SOCKET_ERROR);
  EXPECT_EQ(socks_.pumps, 1);
  EXPECT_EQ(socks_.pump_interval_seen, 100);
  EXPECT_EQ(socks_.m_nTimeOut, 555);
  socks_.Close();
}

// A cancel ends the call with WSAEINTR: one between two waits, where it
// once found no call running, at the next wait; one made during the wait
// that spent the reply budget, at the end of the call, rather than the
// budget's WSAEWOULDBLOCK.
struct CancelCase {
  const char* name;
  int cancel_after_wait;
  int spend_budget_in_wait;  // 0: the budget is not spent
  int waits;
};

void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }

class MyReceiveCancel : public MyReceiveTest, public ::testing::WithParamInterface<CancelCase> {
 protected:
  void TearDown() override { SetTickCountOffset(0); }
};

TEST_P(MyReceiveCancel, EndsTheCallWithWsaeintr) {
  ConnectTo({});
  socks_.cancel_after_wait = GetParam().cancel_after_wait;
  socks_.spend_budget_in_wait = GetParam().spend_budget_in_wait;
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINTR);
  EXPECT_EQ(socks_.pumps, GetParam().waits);
}

INSTANTIATE_TEST_SUITE_P(Rows, MyReceiveCancel,
                         ::testing::Values(CancelCase{"between_two_waits", 2, 0, 3},
                                           CancelCase{"as_the_budget_runs_out", 1, 1, 1}),
                         [](const ::testing::TestParamInfo<CancelCase>& info) { return info.param.name; });

// Host code closes the socket while the proxy is silent and opens another,
// which may get the same handle: the negotiation fails and leaves that one
// as the host made it (on Windows, with the event the host tied to it),
// however the old one went: the virtual Close, a qualified
// CAsyncSocket::Close, or Detach and a close of the handle.
class SocketReplacedTest : public MyReceiveTest, public ::testing::WithParamInterface<int> {};

TEST_P(SocketReplacedTest, SocketReplacedDuringTheWaitIsLeftToTheHost) {
  ConnectTo({PeerStep::Expect(kSocks5Offer)});
  [[maybe_unused]] HANDLE host_event = NULL;
  socks_.on_first_turn = [&](ProbeSocks& s) {
    if (GetParam() == 0) s.Close();
    if (GetParam() == 1) s.CAsyncSocket::Close();
    if (GetParam() == 2) CloseNativeSocket(s.Detach());
    ASSERT_TRUE(s.Create());
#ifdef _WIN32
    host_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    WSAEventSelect(s.m_hSocket, host_event, FD_CONNECT);
#endif
  };
  EXPECT_EQ(socks_.Socks5Connect("1.2.3.4", 80), 0);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  ASSERT_TRUE(socks_.IsOpen());
#ifdef _WIN32
  const sockaddr_in peer = LoopbackAddress(peer_->port());
  connect(socks_.m_hSocket, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
  EXPECT_EQ(WaitForSingleObject(host_event, 10000), WAIT_OBJECT_0) << "the host's tie was undone";
  CloseHandle(host_event);
#endif
}

INSTANTIATE_TEST_SUITE_P(HowTheOldOneWent, SocketReplacedTest, ::testing::Values(0, 1, 2));

TEST_F(MyReceiveTest, PeerCloseGivesZero) {
  ConnectTo({PeerStep::Close()});
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), 0);
}

TEST_F(MyReceiveTest, ResetGivesErrorAtOnce) {
  if (!ResetReachesThePeer()) GTEST_SKIP() << "this system cannot close a socket with a reset";
  // The peer resets only once the client has shown it is connected, so the
  // reset meets the receive and not the connect.
  ConnectTo({PeerStep::Expect("x"), PeerStep::Reset()});
  ASSERT_EQ(socks_.Send("x", 1), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST_F(MyReceiveTest, RefusedWhileABlockingCallRuns) {
  ConnectTo({PeerStep::Send("abc")});
  BOOL blocking = TRUE;
  socks_.m_pbBlocking = &blocking;
  socks_.m_nTimeOut = 777;
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), 0);
  EXPECT_EQ(WSAGetLastError(), WSAEINPROGRESS);
  EXPECT_EQ(socks_.m_nTimeOut, 777);
  // Connect too, before it touches the socket that the running call uses.
  EXPECT_EQ(0, socks_.Connect("127.0.0.1", peer_->port()));
  EXPECT_EQ(WSAGetLastError(), WSAEINPROGRESS);
  EXPECT_TRUE(socks_.IsOpen());
  socks_.m_pbBlocking = nullptr;
}

// The exported protected steps, called alone as a derived class may call
// them on a socket it connected: exactly 1 or 0, as Connect's result.
struct StepCase {
  const char* name;
  PeerScript script;
  std::function<int(ProbeSocks&)> step;
  int result;
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class StepAlone : public MyReceiveTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepAlone, ReturnsExactlyOneOrZero) {
  ConnectTo(GetParam().script);
  EXPECT_EQ(GetParam().result, GetParam().step(socks_));
}

PeerScript Socks5NoAuthReplying(std::string reply) {
  return {PeerStep::Expect(kSocks5Offer), PeerStep::Send(kNoAuthChoice),
          PeerStep::Expect(Socks5Request({1, 2, 3, 4}, 80)), PeerStep::Send(std::move(reply))};
}
const auto kAuthPasswd = [](ProbeSocks& s) { return s.AuthPasswd(); };
const auto kSocks4To10001 = [](ProbeSocks& s) { return s.Socks4Connect("10.0.0.1", 80); };
const auto kSocks5To1234 = [](ProbeSocks& s) { return s.Socks5Connect("1.2.3.4", 80); };

INSTANTIATE_TEST_SUITE_P(
    Rows, StepAlone,
    ::testing::Values(
        StepCase{
            "auth_accepted", {PeerStep::Expect(Bytes({1, 0, 0})), PeerStep::Send(kAuthAccepted)}, kAuthPasswd, 1},
        StepCase{"auth_refused", {PeerStep::Expect(Bytes({1, 0, 0})), PeerStep::Send(Bytes({1, 1}))}, kAuthPasswd, 0},
        StepCase{"socks4_granted",
                 {PeerStep::Expect(Socks4Request({10, 0, 0, 1}, 80)), PeerStep::Send(Socks4Reply(0, 90))},
                 kSocks4To10001,
                 1},
        StepCase{"socks4_rejected",
                 {PeerStep::Expect(Socks4Request({10, 0, 0, 1}, 80)), PeerStep::Send(Socks4Reply(0, 91))},
                 kSocks4To10001,
                 0},
        StepCase{"socks5_granted", Socks5NoAuthReplying(kSocks5Succeeded), kSocks5To1234, 1},
        StepCase{"socks5_refused", Socks5NoAuthReplying(Bytes({5, 5})), kSocks5To1234, 0}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

// The only tests that take seconds: a silent peer, with and without a wrap
// of the tick counter during the wait.
class MyReceiveBudget : public MyReceiveTest, public ::testing::WithParamInterface<DWORD> {
 protected:
  void TearDown() override { SetTickCountOffset(0); }
};

TEST_P(MyReceiveBudget, SilentPeerEndsShortlyAfterTenSeconds) {
  ConnectTo({});  // silent until the client gives up
  // Bring the counter this close below its wrap (0 leaves it alone).
  if (GetParam() != 0) {
    SetTickCountOffset(0);
    if (!SetTickCountOffset(static_cast<DWORD>(0u - GetParam() - GetTickCount()))) {
      GTEST_SKIP() << "this system's tick counter cannot be moved";
    }
  }
  socks_.m_nTimeOut = 2000;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(socks_.MyReceive(buffer_, sizeof(buffer_), 0), SOCKET_ERROR);
  const double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 10.0);
  EXPECT_LT(elapsed, kBudgetUpperBoundSeconds);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(socks_.m_nTimeOut, 2000);
  EXPECT_EQ(socks_.pump_interval_seen, 100);
  EXPECT_GE(socks_.pumps, 50) << "the budget is looked at about every 100 ms";
  socks_.Close();
}

INSTANTIATE_TEST_SUITE_P(Slow, MyReceiveBudget, ::testing::Values(0u, 3000u),
                         [](const ::testing::TestParamInfo<DWORD>& info) {
                           return info.param == 0 ? std::string("plain") : std::string("tick_counter_wraps");
                         });

// A host's exception from OnMessagePending, during the wait for a proxy
// that never answers, reaches the host's catch with the socket open and no
// blocking call left on it. Not in the i686 MinGW-w64 flavour, whose
// unwinder cannot pass qbafx.dll (docs/api.md): the process would end.
TEST(HostException, FromTheReplyWaitLeavesTheSocketClean) {
#if defined(__MINGW32__) && defined(__i386__)
  GTEST_SKIP() << "i686 MinGW-w64: an exception cannot leave a host's override";
#endif
  ASSERT_TRUE(StartSocketLayer());
  TempHive hive;
  CAsyncSocket proxy;
  SOCKADDR_IN address{};
  int length = sizeof(address);
  ASSERT_TRUE(proxy.Create(0, SOCK_STREAM, FD_ACCEPT, "127.0.0.1") && proxy.Listen() &&
              proxy.GetSockName(reinterpret_cast<SOCKADDR*>(&address), &length));
  WriteSettings(hive, ProxyAt(ntohs(address.sin_port), 5));
  ProbeSocks socks;
  socks.on_first_turn = [](ProbeSocks&) { throw 3; };
  ASSERT_TRUE(socks.Create());
  EXPECT_THROW(socks.Connect("127.0.0.1", 80), int);
  EXPECT_TRUE(socks.IsOpen());
  EXPECT_EQ(socks.m_pbBlocking, nullptr);
  EXPECT_EQ(socks.m_nBlockingCall, qbafx::kIdle);
  EXPECT_EQ(socks.m_nTimeOut, 2000);
}

}  // namespace
}  // namespace qbtest
