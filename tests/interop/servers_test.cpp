// Checks of the test servers themselves, kept to what would otherwise let
// a fault pass unseen: a daemon that is missing or does not start must fail
// the test that wanted it, and the tap must keep what the upstream sent
// (the interop tests read a proxy's replies there).
#include "support/servers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scripted_peer.h"

namespace {

TEST(Servers, MissingDaemonFailsWithTheWayToInstallIt) {
  qbtest::ProxyProcess::Launch launch;
  launch.name = "nothing";
  launch.program = "/nonexistent/qbtest-daemon";
  try {
    qbtest::ProxyProcess process(launch);
    FAIL() << "a missing program started";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("scripts/setup.sh"), std::string::npos) << error.what();
  }
}

TEST(Servers, DaemonThatExitsAtOnceFailsWithItsOutput) {
  qbtest::ProxyProcess::Launch launch;
  launch.name = "sh";
  launch.program = "/bin/sh";
  launch.args = {"-c", "echo cannot start on {port} >&2; exit 3"};
  try {
    qbtest::ProxyProcess process(launch);
    FAIL() << "a daemon that exited was reported as started";
  } catch (const std::runtime_error& error) {
    std::string text = error.what();
    EXPECT_NE(text.find("exited with status 3"), std::string::npos) << text;
    EXPECT_NE(text.find("cannot start on"), std::string::npos) << text;
  }
}

// The upstream answers with other bytes than it was sent, so that a tap
// keeping the client's side instead would show.
TEST(Servers, TapRelaysAndRecordsWhatTheUpstreamSent) {
  using qbtest::PeerStep;
  qbtest::ScriptedPeer upstream({PeerStep::Expect("question"), PeerStep::Send("answer")});
  qbtest::TcpTap tap(upstream.port());
  const qbtest::NativeSocket client = qbtest::ConnectToLoopback(tap.port());
  ASSERT_NE(client, qbtest::kNoSocket);
  ASSERT_TRUE(qbtest::SendAll(client, "question"));
  EXPECT_EQ(qbtest::ReadExactly(client, 6), "answer");
  qbtest::CloseNativeSocket(client);
  EXPECT_EQ(upstream.Received(), "question");
  EXPECT_EQ(tap.UpstreamBytes(), (std::vector<std::string>{"answer"}));
}

}  // namespace
