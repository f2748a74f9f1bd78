#include "csocks_fixture.h"

namespace qbtest {

void RunNegotiationCase(const NegotiationCase& c) {
  TempHive hive;
  ScriptedPeer peer(c.script);
  WriteSettings(hive, ProxyAt(peer.port(), c.version, c.user, c.password));
  TakeReportedMessages();

  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  peer.WatchClient(socks.m_hSocket);
  EXPECT_EQ(socks.Connect(c.target, c.port), c.result);
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

void RunBudgetCase(const NegotiationCase& c) {
  const auto start = std::chrono::steady_clock::now();
  RunNegotiationCase(c);
  const double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 10.0);
  EXPECT_LT(elapsed, kBudgetUpperBoundSeconds);
}

}  // namespace qbtest
