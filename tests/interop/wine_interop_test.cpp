// CSocks, as built for production, inside Wine through the Linux SOCKS
// servers on 127.0.0.1: Dante (SOCKS4 and SOCKS5) and microsocks (SOCKS5,
// without and with a user name and password), to an echo target. The
// servers are started around this program by linux_servers.py, which
// passes their ports in the environment (Wine passes it through).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "CSocks.h"
#include "support/temp_hive.h"
#include "support/test_platform.h"

namespace {

using namespace std::chrono_literals;

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

struct ProxyPath {
  const char* name;
  const char* portVariable;
  DWORD version;
  bool withPassword;
};

void PrintTo(const ProxyPath& path, std::ostream* out) { *out << path.name; }

const ProxyPath kPaths[] = {
    {"DanteSocks4", "QBSOCKS_DANTE_PORT", 4, false},
    {"DanteSocks5", "QBSOCKS_DANTE_PORT", 5, false},
    {"MicrosocksSocks5", "QBSOCKS_MICROSOCKS_PORT", 5, false},
    {"MicrosocksSocks5Password", "QBSOCKS_MICROSOCKS_AUTH_PORT", 5, true},
};

std::string PseudoRandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

// Sends the payload and gathers as many bytes back, giving up when nothing
// comes for a while (a relay that swallows bytes would otherwise block the
// receive forever).
std::string EchoThrough(CSocket& socket, const std::string& payload) {
  if (socket.Send(payload.data(), static_cast<int>(payload.size())) !=
      static_cast<int>(payload.size())) {
    return "";
  }
  std::string echoed;
  std::vector<char> buffer(16 * 1024);
  while (echoed.size() < payload.size() && qbtest::WaitReadable(socket.m_hSocket, 10s)) {
    const int count = socket.Receive(buffer.data(), static_cast<int>(buffer.size()));
    if (count <= 0) break;
    echoed.append(buffer.data(), static_cast<size_t>(count));
  }
  return echoed;
}

class ThroughLinuxProxy : public testing::TestWithParam<ProxyPath> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AfxSocketInit());
    echoPort_ = PortFromServers("QBSOCKS_ECHO_PORT");
    const uint16_t proxyPort = PortFromServers(GetParam().portVariable);
    ASSERT_NE(echoPort_, 0);
    ASSERT_NE(proxyPort, 0);
    const ProxyPath& path = GetParam();
    WriteSettings(hive_, qbtest::ProxyAt(proxyPort, path.version,
                                         path.withPassword ? FromServers("QBSOCKS_MICROSOCKS_USER") : "",
                                         path.withPassword ? FromServers("QBSOCKS_MICROSOCKS_PASSWORD") : ""));
  }

  qbtest::TempHive hive_;
  uint16_t echoPort_ = 0;
};

TEST_P(ThroughLinuxProxy, ReachesTheEchoTargetByAddressAndByName) {
  {
    CSocks socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_EQ(socket.Connect("127.0.0.1", echoPort_), 1);
    const std::string payload = PseudoRandomBytes(256 * 1024, 7);
    EXPECT_EQ(EchoThrough(socket, payload), payload);
  }
  CSocks socket;
  ASSERT_TRUE(socket.Create());
  const int result = socket.Connect("localhost", echoPort_);
  if (GetParam().version == 4) {  // SOCKS4 carries no names: refused before anything is sent
    EXPECT_EQ(result, 0);
    EXPECT_EQ(socket.m_hSocket, INVALID_SOCKET);
    return;
  }
  ASSERT_EQ(result, 1);
  const std::string payload = "by name " + PseudoRandomBytes(1000, 8);
  EXPECT_EQ(EchoThrough(socket, payload), payload);
}

INSTANTIATE_TEST_SUITE_P(Interop, ThroughLinuxProxy, testing::ValuesIn(kPaths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ThroughLinuxProxyWithPassword, AWrongPasswordIsRefused) {
  ASSERT_TRUE(AfxSocketInit());
  const uint16_t echoPort = PortFromServers("QBSOCKS_ECHO_PORT");
  const uint16_t proxyPort = PortFromServers("QBSOCKS_MICROSOCKS_AUTH_PORT");
  ASSERT_NE(proxyPort, 0);
  qbtest::TempHive hive;
  WriteSettings(hive, qbtest::ProxyAt(proxyPort, 5, FromServers("QBSOCKS_MICROSOCKS_USER"),
                                      "not-" + FromServers("QBSOCKS_MICROSOCKS_PASSWORD")));
  CSocks socket;
  ASSERT_TRUE(socket.Create());
  EXPECT_EQ(socket.Connect("127.0.0.1", echoPort), 0);
  EXPECT_EQ(socket.m_hSocket, INVALID_SOCKET);
}

}  // namespace
