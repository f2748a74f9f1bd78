// CSocks, as built for production, inside Wine through the Linux SOCKS
// servers on 127.0.0.1: Dante (SOCKS4 and SOCKS5) and microsocks (SOCKS5,
// without and with a user name and password), to an echo target. The
// servers are started around this program by linux_servers.py, which
// passes their ports in the environment (Wine passes it through).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "CSocks.h"
#include "support/proxy_paths.h"
#include "support/stream_io.h"
#include "support/temp_hive.h"

namespace {

using qbtest::EchoThrough;
using qbtest::RandomBytes;

// The value of a variable linux_servers.py sets; empty (and a failure)
// when the program was not started by it.
std::string FromServers(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    ADD_FAILURE() << name << " is not set: run this program through linux_servers.py";
    return "";
  }
  return value;
}

uint16_t PortFromServers(const char* name) {
  const std::string text = FromServers(name);
  return static_cast<uint16_t>(text.empty() ? 0 : std::atoi(text.c_str()));
}

// The environment variable linux_servers.py passes the daemon's port in.
const char* PortVariable(qbtest::Daemon daemon) {
  switch (daemon) {
    case qbtest::Daemon::Dante: return "QBSOCKS_DANTE_PORT";
    case qbtest::Daemon::Microsocks: return "QBSOCKS_MICROSOCKS_PORT";
    case qbtest::Daemon::MicrosocksWithPassword: return "QBSOCKS_MICROSOCKS_AUTH_PORT";
    case qbtest::Daemon::None: break;
  }
  return "";
}

class ThroughLinuxProxy : public testing::TestWithParam<qbtest::ProxyPath> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AfxSocketInit());
    echoPort_ = PortFromServers("QBSOCKS_ECHO_PORT");
    const uint16_t proxyPort = PortFromServers(PortVariable(GetParam().daemon));
    ASSERT_NE(echoPort_, 0);
    ASSERT_NE(proxyPort, 0);
    const bool withPassword = qbtest::WithPassword(GetParam());
    WriteSettings(hive_, qbtest::ProxyAt(proxyPort, GetParam().version,
                                         withPassword ? FromServers("QBSOCKS_MICROSOCKS_USER") : "",
                                         withPassword ? FromServers("QBSOCKS_MICROSOCKS_PASSWORD") : ""));
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

INSTANTIATE_TEST_SUITE_P(Interop, ThroughLinuxProxy, testing::ValuesIn(qbtest::kProxyPaths),
                         qbtest::PathName());

}  // namespace
