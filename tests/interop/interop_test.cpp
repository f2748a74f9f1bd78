// CSocks, as built for production, through real SOCKS servers on loopback:
// Dante (SOCKS4 and SOCKS5) and microsocks (SOCKS5 with and without a user
// name and password), to a local echo target.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CSocks.h"
#include "support/proxy_paths.h"
#include "support/servers.h"
#include "support/temp_hive.h"

namespace {

using qbtest::EchoThrough;
using qbtest::kProxyPassword;
using qbtest::kProxyUser;
using qbtest::ProxyAt;
using qbtest::ProxyPath;
using qbtest::RandomBytes;
using qbtest::WriteSettings;

void StartSocketLayerOnce() {
  static const BOOL started = AfxSocketInit();
  ASSERT_TRUE(started);
}

bool IsOpen(const CSocks& socket) { return socket.m_hSocket != INVALID_SOCKET; }

testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
  auto mismatch = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  if (mismatch.first == expected.end() && mismatch.second == actual.end()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "sent " << expected.size() << " bytes, got " << actual.size()
                                     << " back; first difference at offset " << (mismatch.first - expected.begin());
}

// The reply code in what a proxy sent back over one connection: SOCKS4's CD,
// or SOCKS5's REP after the method choice and any authentication status.
int ReplyCode(const std::string& fromProxy, DWORD version) {
  size_t at = 1;
  if (version == 5) {
    at = 2 + 1;
    if (fromProxy.size() >= 2 && fromProxy[1] == 2) at += 2;
  }
  return at < fromProxy.size() ? static_cast<unsigned char>(fromProxy[at]) : -1;
}

class ThroughProxy : public testing::TestWithParam<ProxyPath> {
 protected:
  void SetUp() override {
    StartSocketLayerOnce();
    proxy_ = qbtest::StartProxy(GetParam().daemon);
    UseProxyAt(proxy_->port());
  }

  void UseProxyAt(uint16_t port) {
    const ProxyPath& path = GetParam();
    WriteSettings(hive_, ProxyAt(port, path.version, UserFor(path), PasswordFor(path)));
  }

  std::string Diagnostics() const { return proxy_->name() + " said:\n" + proxy_->Diagnostics(); }

  qbtest::TempHive hive_;
  qbtest::EchoServer echo_;
  std::unique_ptr<qbtest::ProxyProcess> proxy_;
};

TEST_P(ThroughProxy, ReachesTheEchoTargetByAddress) {
  CSocks socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_EQ(socket.Connect("127.0.0.1", echo_.port()), 1) << Diagnostics();
  const std::string payload = RandomBytes(1000, 7);
  EXPECT_TRUE(SameBytes(payload, EchoThrough(socket, payload)));
}

// SOCKS4 carries no names: socks4_test's rows show it refuses them.
class ThroughSocks5Proxy : public ThroughProxy {};

TEST_P(ThroughSocks5Proxy, ReachesTheEchoTargetByName) {
  CSocks socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_EQ(socket.Connect("localhost", echo_.port()), 1) << Diagnostics();
  const std::string payload = "by name " + RandomBytes(100, 8);
  EXPECT_TRUE(SameBytes(payload, EchoThrough(socket, payload)));
}

TEST_P(ThroughProxy, CarriesAMebibyteBothWaysUnchanged) {
  CSocks socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_EQ(socket.Connect("127.0.0.1", echo_.port()), 1) << Diagnostics();
  const std::string payload = RandomBytes(1024 * 1024, 9);
  EXPECT_TRUE(SameBytes(payload, EchoThrough(socket, payload))) << Diagnostics();
}

TEST_P(ThroughProxy, TargetWithNothingListeningFailsWithTheProxysReplyCode) {
  // The tap between CSocks and the proxy shows the reply that made
  // Connect fail, which the production build does not report anywhere.
  qbtest::TcpTap tap(proxy_->port());
  UseProxyAt(tap.port());
  CSocks socket;
  ASSERT_TRUE(socket.Create());
  qbtest::RefusingPort nothingListening;
  EXPECT_EQ(socket.Connect("127.0.0.1", nothingListening.port()), 0);
  EXPECT_FALSE(IsOpen(socket));

  std::vector<std::string> replies = tap.UpstreamBytes();
  ASSERT_EQ(replies.size(), 1u);
  const int refused = GetParam().version == 4 ? 91 : 5;  // rejected or failed; connection refused
  EXPECT_EQ(ReplyCode(replies[0], GetParam().version), refused) << Diagnostics();
}

INSTANTIATE_TEST_SUITE_P(Interop, ThroughProxy, testing::ValuesIn(qbtest::kProxyPaths), qbtest::PathName());
INSTANTIATE_TEST_SUITE_P(Interop, ThroughSocks5Proxy, testing::ValuesIn(qbtest::Socks5Paths()), qbtest::PathName());

struct Credentials {
  const char* name;
  const char* user;
  const char* password;
};

void PrintTo(const Credentials& credentials, std::ostream* out) { *out << credentials.name; }

const Credentials kWrongCredentials[] = {
    {"WrongPassword", kProxyUser, "not-the-password"},
    {"WrongUser", "mallory", kProxyPassword},
    {"None", "", ""},
};

class MicrosocksRefuses : public testing::TestWithParam<Credentials> {};

TEST_P(MicrosocksRefuses, CredentialsThatAreNotItsOwn) {
  StartSocketLayerOnce();
  qbtest::TempHive hive;
  qbtest::EchoServer echo;
  auto proxy = qbtest::StartProxy(qbtest::Daemon::MicrosocksWithPassword);
  qbtest::TcpTap tap(proxy->port());
  WriteSettings(hive, ProxyAt(tap.port(), 5, GetParam().user, GetParam().password));

  CSocks socket;
  ASSERT_TRUE(socket.Create());
  EXPECT_EQ(socket.Connect("127.0.0.1", echo.port()), 0);
  EXPECT_FALSE(IsOpen(socket));

  // The proxy chose the password method and turned the credentials down.
  std::vector<std::string> replies = tap.UpstreamBytes();
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_GE(replies[0].size(), 4u);
  EXPECT_EQ(replies[0].substr(0, 2), std::string("\x05\x02", 2));
  EXPECT_NE(replies[0][3], 0);
}

INSTANTIATE_TEST_SUITE_P(Interop, MicrosocksRefuses, testing::ValuesIn(kWrongCredentials),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
