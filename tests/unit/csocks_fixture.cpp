#include "csocks_fixture.h"

namespace qbtest {

namespace {

void PlayCase(const NegotiationCase& c) {
  TempHive hive;
  ScriptedPeer peer(c.script);
  WriteSettings(hive, ProxyAt(peer.port(), c.version, c.user, c.password));
  TakeReportedMessages();

  ProbeSocks socks;
  socks.on_connect = c.on_connect;
  ASSERT_TRUE(socks.Create());
  peer.WatchClient(socks.m_hSocket);
  EXPECT_EQ(c.result, socks.Connect(c.target, c.port));
  const int error = WSAGetLastError();
  if (c.result == 0) {
    EXPECT_TRUE(error != 0 && error != WSAEWOULDBLOCK) << "last error " << error;
    EXPECT_TRUE(c.last_error == 0 || error == c.last_error) << "last error " << error;
  }
  EXPECT_FALSE(ReportedWhileOpen()) << "a failure closes the socket first, then reports";
  EXPECT_EQ(TakeReportedMessages(), c.messages);

  if (c.result == 1) {
    ASSERT_TRUE(socks.IsOpen());
    EXPECT_TRUE(TradeHellos(socks));
    socks.Close();
  } else {
    EXPECT_FALSE(socks.IsOpen()) << "every failure on the proxy path closes the socket";
  }
  EXPECT_EQ(peer.Received(), ExpectedWire(c.script));
  bool peer_reset = false;
  for (const PeerStep& step : c.script) peer_reset |= step.kind == PeerStep::Kind::Reset;
  if (!peer_reset) {
    EXPECT_TRUE(peer.SawClientClose());
  }
}

// Seconds the case took to play.
double TimeCase(const NegotiationCase& c) {
  const auto start = std::chrono::steady_clock::now();
  PlayCase(c);
  return SecondsSince(start);
}

}  // namespace

void RunNegotiationCase(const NegotiationCase& c) {
  // Half the budget, so a build that waits it out before failing (or before
  // taking a reply that has come whole) is caught on a loaded machine too.
  EXPECT_LT(TimeCase(c), 5.0) << "the outcome waited for the reply budget";
}

void RunBudgetCase(const NegotiationCase& c) {
  const double elapsed = TimeCase(c);
  EXPECT_GE(elapsed, 10.0);
  EXPECT_LT(elapsed, kBudgetUpperBoundSeconds);
}

TEST_P(NegotiationTable, Runs) { RunNegotiationCase(GetParam()); }
TEST_P(NegotiationBudget, EndsAfterTenSeconds) { RunBudgetCase(GetParam()); }
// Only the SOCKS tables instantiate them, not every program with this file.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(NegotiationTable);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(NegotiationBudget);

}  // namespace qbtest
