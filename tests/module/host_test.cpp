// A host linked to libQBSocks32.so directly, with a class of its own
// derived from CSocks: its Close override runs wherever a connect through
// the proxy fails, and the production MyMessageBox answers 1 to anything.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "QBSocks32.h"
#include "afx/afxdll_testing.h"
#include "support/scripted_peer.h"
#include "support/servers.h"
#include "support/temp_hive.h"

namespace {

class HostSocket : public CSocks {
 public:
  HostSocket() { ++constructed; }
  void Close() override {
    ++close_calls;
    CSocks::Close();
  }

  using CSocks::IsDNS;
  using CSocks::MyMessageBox;

  int close_calls = 0;
  static inline int constructed = 0;
};

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(AfxSocketInit()); }
  qbtest::TempHive hive_;
};

TEST_F(HostTest, TheOverridingCloseRunsOnEveryFailureOfTheProxyPath) {
  using qbtest::PeerStep;
  struct Case {
    const char* name;
    DWORD version;
    const char* target;
    std::optional<qbtest::PeerScript> proxy;  // none: the proxy's port refuses
  };
  const Case cases[] = {
      {"proxy refuses the connection", 5, "127.0.0.1", std::nullopt},
      {"SOCKS5 proxy hangs up at once", 5, "127.0.0.1", qbtest::PeerScript{PeerStep::Close()}},
      {"SOCKS4 proxy hangs up at once", 4, "127.0.0.1", qbtest::PeerScript{PeerStep::Close()}},
      {"SOCKS4 cannot carry a name", 4, "target.example", qbtest::PeerScript{}},
      {"SOCKS5 proxy accepts no method", 5, "127.0.0.1",
       qbtest::PeerScript{PeerStep::Expect(qbtest::kSocks5Offer), PeerStep::Send(qbtest::Bytes({5, 0xFF}))}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<qbtest::RefusingPort> refusing;
    std::optional<qbtest::ScriptedPeer> peer;
    if (c.proxy) {
      peer.emplace(*c.proxy);
    } else {
      refusing.emplace();
    }
    WriteSettings(hive_, qbtest::ProxyAt(peer ? peer->port() : refusing->port(), c.version));

    HostSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_EQ(socket.Connect(c.target, 7), 0);
    EXPECT_EQ(socket.close_calls, 1);
    EXPECT_EQ(socket.m_hSocket, INVALID_SOCKET);
  }
}

TEST_F(HostTest, ADirectConnectIsTheHostsToCloseEvenWhenItFails) {
  hive_.SetDword(qbtest::TempHive::kProxyKey, "ProxyEnable", 0);
  qbtest::RefusingPort refusing;
  HostSocket refused;
  ASSERT_TRUE(refused.Create());
  EXPECT_EQ(refused.Connect("127.0.0.1", refusing.port()), 0);
  EXPECT_EQ(refused.close_calls, 0);
  EXPECT_NE(refused.m_hSocket, INVALID_SOCKET);

  qbtest::EchoServer echo;
  HostSocket connected;
  ASSERT_TRUE(connected.Create());
  ASSERT_EQ(connected.Connect("127.0.0.1", echo.port()), 1);
  const std::string request = "through the host's own class";
  ASSERT_EQ(connected.Send(request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
  EXPECT_EQ(qbtest::ReceiveExactly(connected, request.size()), request);
  EXPECT_EQ(connected.close_calls, 0);
}

TEST_F(HostTest, ProtectedHelpersAreReachableFromTheHostsClass) {
  HostSocket socket;
  const std::vector<std::string> texts = {"", "General negotition failur", "Username/Password authentication failure",
                                          std::string(4096, 'x'), "\xff\x01"};
  for (const std::string& text : texts) EXPECT_EQ(socket.MyMessageBox(text.c_str()), 1) << text;

  EXPECT_EQ(socket.IsDNS("192.168.1.20"), 0);
  EXPECT_EQ(socket.IsDNS("gateway"), 1);
}

// Every CObject comes from the class library's heap, which raises no
// exception when exhausted: new gives NULL and constructs nothing.
TEST_F(HostTest, NewOfTheClassLibrarysObjectsGivesNullWhenItsHeapIsExhausted) {
  const int constructed_before = HostSocket::constructed;
  QbFailDynLinkLibraryAllocationForTesting(TRUE);
  HostSocket* host_socket = new HostSocket;
  CSocks* socks = new CSocks;
  QbFailDynLinkLibraryAllocationForTesting(FALSE);
  EXPECT_EQ(host_socket, nullptr);
  EXPECT_EQ(socks, nullptr);
  EXPECT_EQ(HostSocket::constructed, constructed_before);

  CSocket* socket = new HostSocket;
  ASSERT_NE(socket, nullptr);
  ASSERT_TRUE(socket->Create());
  delete socket;  // through the base class, back to the class library
}

}  // namespace
