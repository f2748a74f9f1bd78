// CSocks, as built for production, inside Wine through the Linux SOCKS
// servers on 127.0.0.1: Dante (SOCKS4 and SOCKS5) and microsocks (SOCKS5,
// without and with a user name and password), to an echo target. The
// servers are started around this program by linux_servers.py, which
// passes their ports in the environment (Wine passes it through).
#include <gtest/gtest.h>

#include <string>

#include "CSocks.h"
#include "support/linux_servers.h"
#include "support/proxy_paths.h"
#include "support/stream_io.h"
#include "support/temp_hive.h"

namespace {

using qbtest::EchoThrough;
using qbtest::RandomBytes;

class ThroughLinuxProxy : public testing::TestWithParam<qbtest::ProxyPath> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AfxSocketInit());
    echoPort_ = qbtest::EchoPortFromServers();
    ASSERT_NE(echoPort_, 0);
    ASSERT_NE(qbtest::ProxyPortFromServers(GetParam().daemon), 0);
    WriteSettings(hive_, qbtest::SettingsFromServers(GetParam()));
  }

  qbtest::TempHive hive_;
  uint16_t echoPort_ = 0;
};

TEST_P(ThroughLinuxProxy, ReachesTheEchoTargetByAddressAndByName) {
  {
    CSocks socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_EQ(socket.Connect("127.0.0.1", echoPort_), 1);
    const std::string payload = RandomBytes(256 * 1024, 7);
    EXPECT_EQ(EchoThrough(socket, payload), payload);
  }
  // SOCKS4 carries no names: socks4_test's rows show it refuses them.
  if (GetParam().version == 4) return;
  CSocks socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_EQ(socket.Connect("localhost", echoPort_), 1);
  const std::string payload = "by name " + RandomBytes(1000, 8);
  EXPECT_EQ(EchoThrough(socket, payload), payload);
}

INSTANTIATE_TEST_SUITE_P(Interop, ThroughLinuxProxy, testing::ValuesIn(qbtest::kProxyPaths), qbtest::PathName());

}  // namespace
