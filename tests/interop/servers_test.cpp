// Checks of the test servers themselves, with plain sockets, so that an
// interop failure can be told apart from a harness failure.
#include "support/servers.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using qbtest::RandomBytes;


// A blocking loopback client with a time limit on every read.
class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }

  bool connected() const { return connected_; }

  bool SendAll(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      ssize_t count = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) return false;
      sent += static_cast<size_t>(count);
    }
    return true;
  }

  void EndSending() { ::shutdown(fd_, SHUT_WR); }

  // Up to `size` bytes; fewer when the peer closes or 5 s pass in silence.
  std::string Read(size_t size) {
    std::string bytes;
    char chunk[64 * 1024];
    while (bytes.size() < size) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 5000) <= 0) break;
      ssize_t count = ::recv(fd_, chunk, std::min(sizeof chunk, size - bytes.size()), 0);
      if (count <= 0) break;
      bytes.append(chunk, static_cast<size_t>(count));
    }
    return bytes;
  }

  // True when the peer has closed its side (and sent nothing more).
  bool PeerEnded() { return Read(1).empty(); }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// On a port held without listening: a merely free port could be taken by a
// server of a test running meanwhile.
TEST(Servers, WaitForPortGivesUpOnAPortNobodyListensOn) {
  qbtest::RefusingPort refusing;
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(qbtest::WaitForPort(refusing.port(), 100ms));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
}

TEST(Servers, RefusingPortRefusesWhileItLives) {
  qbtest::RefusingPort refusing;
  const uint16_t port = refusing.port();
  ASSERT_NE(port, 0);
  EXPECT_FALSE(RawClient(port).connected());

  // Held: a server cannot take the port meanwhile.
  int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_NE(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(server);
}

TEST(Servers, EchoServerEchoesManyConnectionsAndPassesTheEndOn) {
  qbtest::EchoServer echo;
  ASSERT_TRUE(qbtest::WaitForPort(echo.port(), 1s));

  std::vector<std::unique_ptr<RawClient>> clients;
  for (unsigned i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<RawClient>(echo.port()));
    ASSERT_TRUE(clients.back()->connected());
  }
  // Interleaved: every connection is open while the others talk.
  for (unsigned i = 0; i < clients.size(); ++i) {
    std::string message = "hello " + std::to_string(i);
    ASSERT_TRUE(clients[i]->SendAll(message));
  }
  for (unsigned i = 0; i < clients.size(); ++i) {
    std::string message = "hello " + std::to_string(i);
    EXPECT_EQ(clients[i]->Read(message.size()), message);
    clients[i]->EndSending();
    EXPECT_TRUE(clients[i]->PeerEnded());
  }
}

TEST(Servers, EchoServerReturnsLargeTransfersUnchanged) {
  qbtest::EchoServer echo;
  const std::string payload = RandomBytes(3 * 1024 * 1024 + 17, 1);
  RawClient client(echo.port());
  ASSERT_TRUE(client.connected());

  // Writing everything before reading anything would stall on full
  // buffers; the writer runs beside the reader as a real client would.
  bool sentAll = false;
  std::thread writer([&] {
    sentAll = client.SendAll(payload);
    client.EndSending();
  });
  std::string echoed = client.Read(payload.size());
  writer.join();
  EXPECT_TRUE(sentAll);
  EXPECT_EQ(echoed.size(), payload.size());
  EXPECT_TRUE(echoed == payload) << "echoed bytes differ";
  EXPECT_TRUE(client.PeerEnded());
}

TEST(Servers, TapRelaysAndRecordsWhatTheUpstreamSent) {
  qbtest::EchoServer echo;
  qbtest::TcpTap tap(echo.port());
  {
    RawClient client(tap.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.SendAll("first"));
    EXPECT_EQ(client.Read(5), "first");
  }
  RawClient second(tap.port());
  ASSERT_TRUE(second.SendAll("second"));
  EXPECT_EQ(second.Read(6), "second");
  EXPECT_EQ(tap.UpstreamBytes(), (std::vector<std::string>{"first", "second"}));
}

TEST(Servers, MissingDaemonFailsWithTheWayToInstallIt) {
  qbtest::ProxyProcess::Launch launch;
  launch.name = "nothing";
  launch.program = "/nonexistent/qbtest-daemon";
  try {
    qbtest::ProxyProcess process(launch);
    FAIL() << "a missing program started";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("scripts/setup.sh"), std::string::npos)
        << error.what();
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

struct DaemonCase {
  const char* name;
  std::unique_ptr<qbtest::ProxyProcess> (*start)();
};

std::unique_ptr<qbtest::ProxyProcess> StartMicrosocksWithAuth() {
  return qbtest::StartMicrosocks("alice", "secret");
}

const DaemonCase kNoAuthDaemons[] = {
    {"Dante", qbtest::StartDante},
    {"Microsocks", [] { return qbtest::StartMicrosocks(); }},
};

class NoAuthDaemon : public testing::TestWithParam<DaemonCase> {};

TEST_P(NoAuthDaemon, AnswersASocks5NoAuthOfferAndRelaysToTheEchoServer) {
  qbtest::EchoServer echo;
  auto proxy = GetParam().start();
  RawClient client(proxy->port());
  ASSERT_TRUE(client.connected());

  ASSERT_TRUE(client.SendAll(std::string("\x05\x01\x00", 3)));
  ASSERT_EQ(client.Read(2), std::string("\x05\x00", 2)) << proxy->Diagnostics();

  std::string request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
  request += static_cast<char>(echo.port() >> 8);
  request += static_cast<char>(echo.port() & 0xff);
  ASSERT_TRUE(client.SendAll(request));
  std::string reply = client.Read(10);  // both answer with an IPv4 bound address
  ASSERT_EQ(reply.size(), 10u) << proxy->Diagnostics();
  EXPECT_EQ(reply[1], 0) << proxy->Diagnostics();

  ASSERT_TRUE(client.SendAll("through"));
  EXPECT_EQ(client.Read(7), "through");
}

TEST_P(NoAuthDaemon, IsGoneWithItsWholeProcessGroupOnceDestroyed) {
  auto proxy = GetParam().start();
  const pid_t pid = proxy->pid();
  const uint16_t port = proxy->port();
  const std::string folder = proxy->folder();
  ASSERT_EQ(::kill(pid, 0), 0);
  proxy.reset();
  EXPECT_EQ(::kill(-pid, 0), -1) << "a process of the group is still there";
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(qbtest::WaitForPort(port, 0ms));
  EXPECT_NE(::access(folder.c_str(), F_OK), 0) << folder << " was left behind";
}

INSTANTIATE_TEST_SUITE_P(Servers, NoAuthDaemon, testing::ValuesIn(kNoAuthDaemons),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Servers, DanteAnswersSocks4) {
  qbtest::EchoServer echo;
  auto dante = qbtest::StartDante();
  RawClient client(dante->port());
  std::string request("\x04\x01", 2);
  request += static_cast<char>(echo.port() >> 8);
  request += static_cast<char>(echo.port() & 0xff);
  request += std::string("\x7f\x00\x00\x01qbtest\0", 11);
  ASSERT_TRUE(client.SendAll(request));
  std::string reply = client.Read(8);
  ASSERT_EQ(reply.size(), 8u) << dante->Diagnostics();
  EXPECT_EQ(static_cast<unsigned char>(reply[1]), 90u) << dante->Diagnostics();
  ASSERT_TRUE(client.SendAll("v4"));
  EXPECT_EQ(client.Read(2), "v4");
}

TEST(Servers, MicrosocksWithCredentialsInsistsOnThem) {
  auto proxy = StartMicrosocksWithAuth();
  {
    RawClient client(proxy->port());
    ASSERT_TRUE(client.SendAll(std::string("\x05\x01\x00", 3)));
    EXPECT_EQ(client.Read(2), std::string("\x05\xff", 2));
  }
  RawClient client(proxy->port());
  ASSERT_TRUE(client.SendAll(std::string("\x05\x01\x02", 3)));
  ASSERT_EQ(client.Read(2), std::string("\x05\x02", 2));
  ASSERT_TRUE(client.SendAll(std::string("\x01\x05" "alice" "\x06" "secret", 14)));
  EXPECT_EQ(client.Read(2), std::string("\x01\x00", 2));
}

}  // namespace
