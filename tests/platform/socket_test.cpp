// The class-library socket stand-in (CAsyncSocket, CSocket) against a
// listener of its own on 127.0.0.1.
#include "afxsock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "support/replaced_system_call.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

constexpr SOCKET kAllBitsSet = ~static_cast<SOCKET>(0);

// A CSocket with its protected wait opened up, and a hook run on every turn
// of a wait (OnMessagePending).
class ProbeSocket : public CSocket {
 public:
  using CSocket::m_nTimeOut;
  using CSocket::m_pbBlocking;
  using CSocket::PumpMessages;

  std::function<void(ProbeSocket&)> onTurn;
  int turns = 0;  // calls of OnMessagePending

 protected:
  BOOL OnMessagePending() override {
    ++turns;
    if (onTurn) onTurn(*this);
    return FALSE;
  }
};

UINT LocalPort(CAsyncSocket& socket) {
  sockaddr_in address{};
  int length = sizeof(address);
  if (!socket.GetSockName(reinterpret_cast<SOCKADDR*>(&address), &length)) return 0;
  return ntohs(address.sin_port);
}

// A TCP socket bound to 127.0.0.1 with a port of its own, listening or not.
struct LoopbackPort {
  explicit LoopbackPort(bool listening) {
    EXPECT_TRUE(socket.Create(0, SOCK_STREAM, FD_ACCEPT, "127.0.0.1"));
    if (listening) {
      EXPECT_TRUE(socket.Listen());
    }
    port = LocalPort(socket);
    EXPECT_NE(port, 0u);
  }
  CSocket socket;
  UINT port = 0;
};

class SocketTest : public ::testing::Test {
 protected:
  // Connects a fresh client to the listener and accepts its peer. The
  // client's count of turns starts from zero afterwards: a slow connect may have
  // waited already.
  void ConnectPair(ProbeSocket& client, CSocket& server) {
    ASSERT_TRUE(client.Create());
    ASSERT_TRUE(client.Connect("127.0.0.1", listener_.port)) << WSAGetLastError();
    ASSERT_TRUE(listener_.socket.Accept(server)) << WSAGetLastError();
    client.turns = 0;
  }

  LoopbackPort listener_{true};
};

TEST_F(SocketTest, ConnectsByAddressOrNameUsingThePortsLow16Bits) {
  struct Case {
    const char* host;
    UINT portHighBits;
  };
  const Case cases[] = {{"127.0.0.1", 0}, {"localhost", 0}, {"127.0.0.1", 0x10000}, {"localhost", 0xabcd0000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " high bits " + std::to_string(c.portHighBits));
    CSocket client, server;
    ASSERT_TRUE(client.Create());
    ASSERT_TRUE(client.Connect(c.host, listener_.port | c.portHighBits)) << WSAGetLastError();
    ASSERT_TRUE(listener_.socket.Accept(server));

    sockaddr_in peer{};
    int peerLength = sizeof(peer);
    ASSERT_TRUE(client.GetPeerName(reinterpret_cast<SOCKADDR*>(&peer), &peerLength));
    EXPECT_EQ(ntohs(peer.sin_port), listener_.port);
    EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("127.0.0.1"));

    char received[8] = {};
    ASSERT_EQ(client.Send("hello", 5), 5);
    ASSERT_EQ(server.Receive(received, sizeof(received)), 5);
    EXPECT_STREQ(received, "hello");
  }
}

TEST(SocketHandle, AllBitsSetWhenNoSocketIsOpen) {
  CAsyncSocket asyncSocket;
  CSocket blockingSocket;
  for (CAsyncSocket* socket : {&asyncSocket, static_cast<CAsyncSocket*>(&blockingSocket)}) {
    SCOPED_TRACE(socket->GetRuntimeClass()->m_lpszClassName);
    EXPECT_EQ(socket->m_hSocket, kAllBitsSet);
    ASSERT_TRUE(socket->Create());
    EXPECT_NE(socket->m_hSocket, kAllBitsSet);
#ifndef _WIN32
    int fd = static_cast<int>(socket->m_hSocket);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
#endif
    socket->Close();
    EXPECT_EQ(socket->m_hSocket, kAllBitsSet);
    socket->Close();  // a second close is harmless
    EXPECT_EQ(socket->m_hSocket, kAllBitsSet);
  }
}

TEST_F(SocketTest, NonBlockingReceiveReportsWouldBlockUntilDataArrives) {
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  char buffer[4];
  EXPECT_EQ(client.CAsyncSocket::Receive(buffer, sizeof(buffer)), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

  ASSERT_EQ(server.Send("ab", 2), 2);
  client.m_nTimeOut = 5000;
  ASSERT_TRUE(client.PumpMessages(FD_READ));
  EXPECT_EQ(client.CAsyncSocket::Receive(buffer, sizeof(buffer)), 2);
}

TEST_F(SocketTest, PumpMessagesWaitsAboutOneIntervalWhenNothingArrives) {
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  bool blockingDuringWait = false;
  client.onTurn = [&](ProbeSocket& self) { blockingDuringWait = self.IsBlocking(); };
  client.m_nTimeOut = 1000;

  Clock::time_point start = Clock::now();
  EXPECT_TRUE(client.PumpMessages(FD_READ));
  long long elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 990);
  EXPECT_LT(elapsed, 5000);
  EXPECT_GT(client.turns, 0);
  EXPECT_TRUE(blockingDuringWait);
  EXPECT_EQ(client.m_pbBlocking, nullptr);
}

TEST_F(SocketTest, PumpMessagesReturnsAtOnceWhenDataArrives) {
  struct Case {
    const char* name;
    bool sendBeforeWait;
  };
  for (const Case& c : {Case{"data waiting", true}, Case{"data during the wait", false}}) {
    SCOPED_TRACE(c.name);
    ProbeSocket client;
    CSocket server;
    ConnectPair(client, server);
    if (c.sendBeforeWait) {
      ASSERT_EQ(server.Send("x", 1), 1);
    }
    client.onTurn = [&](ProbeSocket& self) {
      if (self.turns == 1) {
        EXPECT_EQ(server.Send("x", 1), 1);
      }
    };
    client.m_nTimeOut = 30000;

    // The wait also succeeds when its interval ends: the time tells them apart.
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(client.PumpMessages(FD_READ));
    EXPECT_LT(MillisecondsSince(start), 10000);
    char byte = 0;
    EXPECT_EQ(client.CAsyncSocket::Receive(&byte, 1), 1);
    EXPECT_EQ(client.m_pbBlocking, nullptr);
  }
}

TEST_F(SocketTest, HostCodeDuringTheWaitCanEndIt) {
  struct Case {
    const char* name;
    std::function<void(ProbeSocket&)> onThirdTurn;
    int expectedError;
  };
  const Case cases[] = {
      {"CancelBlockingCall", [](ProbeSocket& s) { s.CancelBlockingCall(); }, WSAEINTR},
      {"clearing the blocking flag", [](ProbeSocket& s) { *s.m_pbBlocking = FALSE; }, WSAEINTR},
      {"Close", [](ProbeSocket& s) { s.Close(); }, WSAENOTSOCK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProbeSocket client;
    CSocket server;
    ConnectPair(client, server);
    client.onTurn = [&](ProbeSocket& self) {
      if (self.turns == 3) c.onThirdTurn(self);
    };
    // Host code runs once per pump interval; a blocking Receive waits
    // interval after interval, so its third turn comes in the third.
    client.m_nTimeOut = 50;

    // Failing on the third turn shows the host code ended the call.
    char byte = 0;
    EXPECT_EQ(client.Receive(&byte, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), c.expectedError);
    EXPECT_EQ(client.turns, 3);
    EXPECT_EQ(client.m_pbBlocking, nullptr);

    // The cancellation was used up: the next wait runs its full interval.
    if (client.m_hSocket != INVALID_SOCKET) {
      client.onTurn = nullptr;
      client.m_nTimeOut = 50;
      EXPECT_TRUE(client.PumpMessages(FD_READ));
    }
  }
}

// The canceller acts only once the wait has shown it runs; a cancel that
// were not honoured would let the wait run its full 30 s and succeed.
TEST_F(SocketTest, CancelFromAnotherThreadEndsTheWait) {
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  std::atomic<bool> waiting{false};
  client.onTurn = [&](ProbeSocket&) { waiting = true; };
  client.m_nTimeOut = 30000;

  std::thread canceller([&] {
    while (!waiting) std::this_thread::yield();
    client.CancelBlockingCall();
  });
  BOOL result = client.PumpMessages(FD_READ);
  int error = WSAGetLastError();
  canceller.join();

  EXPECT_FALSE(result);
  EXPECT_EQ(error, WSAEINTR);
}

// A wait sleeps through its interval, however long, until a cancel or a
// Close from another thread wakes it: it ends while a wait of half that
// interval, begun on another socket after the cancel, still runs.
TEST_F(SocketTest, CancelOrCloseFromAnotherThreadWakesALongWait) {
  struct Case {
    const char* name;
    void (CSocket::*end)();
    int expectedError;
  };
  for (const Case& c : {Case{"CancelBlockingCall", &CSocket::CancelBlockingCall, WSAEINTR},
                        Case{"Close", &CSocket::Close, WSAENOTSOCK}}) {
    SCOPED_TRACE(c.name);
    ProbeSocket client, witness;
    CSocket server, witnessPeer;
    ConnectPair(client, server);
    ConnectPair(witness, witnessPeer);
    std::atomic<bool> waiting{false}, witnessDone{false};
    client.onTurn = [&](ProbeSocket&) { waiting = true; };
    client.m_nTimeOut = 10000;
    witness.m_nTimeOut = 5000;
    std::thread ender([&] {
      while (!waiting) std::this_thread::yield();
      (client.*c.end)();
      witness.PumpMessages(FD_READ);
      witnessDone = true;
    });
    EXPECT_FALSE(client.PumpMessages(FD_READ));
    EXPECT_EQ(WSAGetLastError(), c.expectedError);
    EXPECT_FALSE(witnessDone) << "the woken wait outlasted a 5 s interval";
    EXPECT_EQ(witnessPeer.Send("x", 1), 1);  // ends the witness's wait
    ender.join();
  }
}

// Host code runs once per interval of a blocking call, and no more often:
// its third turn, which sends the data, comes after two whole intervals.
TEST_F(SocketTest, HostCodeRunsOncePerInterval) {
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  client.onTurn = [&](ProbeSocket& self) {
    if (self.turns == 3) {
      EXPECT_EQ(server.Send("x", 1), 1);
    }
  };
  client.m_nTimeOut = 200;
  const Clock::time_point start = Clock::now();
  char byte = 0;
  EXPECT_EQ(client.Receive(&byte, 1), 1);
  EXPECT_GE(MillisecondsSince(start), 2 * 200 - 10);
  EXPECT_EQ(client.turns, 3);
}

// MFC cancels only a call that is blocking: a cancel made while nothing
// waits must not end the next wait, which here runs its interval and
// succeeds.
TEST_F(SocketTest, CancelWhileNothingBlocksIsDropped) {
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  client.CancelBlockingCall();
  client.m_nTimeOut = 50;
  EXPECT_TRUE(client.PumpMessages(FD_READ));
}

TEST_F(SocketTest, BlockingCallsRefuseToNestAndReceiveWaitsForData) {
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  int nestedReceive = 0, nestedReceiveError = 0, nestedSend = 0, nestedSendError = 0;
  BOOL nestedPump = TRUE;
  int nestedPumpError = 0;
  client.onTurn = [&](ProbeSocket& self) {
    if (self.turns != 1) return;
    char scratch[4];
    nestedReceive = self.Receive(scratch, sizeof(scratch));
    nestedReceiveError = WSAGetLastError();
    nestedSend = self.Send("no", 2);
    nestedSendError = WSAGetLastError();
    nestedPump = self.PumpMessages(FD_READ);
    nestedPumpError = WSAGetLastError();
    EXPECT_EQ(server.Send("data", 4), 4);
  };

  char buffer[8] = {};
  EXPECT_EQ(client.Receive(buffer, sizeof(buffer)), 4);
  EXPECT_STREQ(buffer, "data");
  EXPECT_EQ(nestedReceive, SOCKET_ERROR);
  EXPECT_EQ(nestedReceiveError, WSAEINPROGRESS);
  EXPECT_EQ(nestedSend, SOCKET_ERROR);
  EXPECT_EQ(nestedSendError, WSAEINPROGRESS);
  EXPECT_FALSE(nestedPump);
  EXPECT_EQ(nestedPumpError, WSAEINPROGRESS);
}

TEST_F(SocketTest, ReceiveGivesZeroOnceThePeerHasClosed) {
  for (bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "CSocket::Receive" : "CAsyncSocket::Receive");
    ProbeSocket client;
    CSocket server;
    ConnectPair(client, server);
    ASSERT_EQ(server.Send("z", 1), 1);
    server.Close();

    char buffer[4];
    client.m_nTimeOut = 5000;
    auto receive = [&] {
      if (blocking) return client.Receive(buffer, sizeof(buffer));
      int n;
      while ((n = client.CAsyncSocket::Receive(buffer, sizeof(buffer))) == SOCKET_ERROR &&
             WSAGetLastError() == WSAEWOULDBLOCK && client.PumpMessages(FD_READ)) {
      }
      return n;
    };
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(receive(), 0);
  }
}

TEST_F(SocketTest, SendToAClosedPeerFailsWithoutSigpipe) {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this process
#endif
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  server.Close();

  std::vector<char> chunk(4096, 'q');
  client.m_nTimeOut = 100;
  int result = 0;
  for (int attempt = 0; attempt < 50 && result != SOCKET_ERROR; ++attempt) {
    result = client.Send(chunk.data(), static_cast<int>(chunk.size()));
    if (result != SOCKET_ERROR) client.PumpMessages(FD_READ);  // lets the peer's reset arrive
  }
  EXPECT_EQ(result, SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(SocketTest, SendDeliversEverythingWhenTheSocketFillsUp) {
  ProbeSocket client;
  CSocket server;
  ConnectPair(client, server);
  int smallBuffer = 64 << 10;  // far less than the payload, whatever the peer buffers
  ASSERT_TRUE(client.SetSockOpt(SO_SNDBUF, &smallBuffer, sizeof(smallBuffer)));
  std::vector<char> payload(16 << 20);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 4096);

  // The peer reads only once Send has had to wait for room.
  std::atomic<bool> readerMayStart{false};
  client.onTurn = [&](ProbeSocket&) { readerMayStart = true; };
  std::vector<char> received;
  std::thread reader([&] {
    while (!readerMayStart) std::this_thread::yield();
    std::vector<char> chunk(64 << 10);
    int n;
    while ((n = server.Receive(chunk.data(), static_cast<int>(chunk.size()))) > 0) {
      received.insert(received.end(), chunk.begin(), chunk.begin() + n);
    }
  });
  int sent = client.Send(payload.data(), static_cast<int>(payload.size()));
  int error = WSAGetLastError();
  bool sendWaited = readerMayStart.exchange(true);
  client.ShutDown(CAsyncSocket::sends);
  reader.join();

  EXPECT_TRUE(sendWaited);
  EXPECT_EQ(sent, static_cast<int>(payload.size())) << error;
  EXPECT_TRUE(received == payload);
}

TEST_F(SocketTest, FailuresSetTheirErrorAndKeepNoSocket) {
  LoopbackPort closedPort(false);
  struct Case {
    const char* name;
    std::function<BOOL(ProbeSocket&)> operation;
    int expectedError;
    bool objectKeepsSocket;
  };
  const Case cases[] = {
      {"refused connect", [&](ProbeSocket& s) { return s.Create() && s.Connect("127.0.0.1", closedPort.port); },
       WSAECONNREFUSED, true},
      {"address in use", [&](ProbeSocket& s) { return s.Create(listener_.port, SOCK_STREAM, FD_READ, "127.0.0.1"); },
       WSAEADDRINUSE, false},
      {"bad bind address", [](ProbeSocket& s) { return s.Create(0, SOCK_STREAM, FD_READ, "1.2.3.400"); }, WSAEINVAL,
       false},
      {"connect before create", [](ProbeSocket& s) { return s.Connect("127.0.0.1", 1); }, WSAENOTSOCK, false},
      {"attach no socket", [](ProbeSocket& s) { return s.Attach(INVALID_SOCKET); }, WSAENOTSOCK, false},
      {"wait without socket", [](ProbeSocket& s) { return s.PumpMessages(FD_READ); }, WSAENOTSOCK, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProbeSocket socket;
    EXPECT_FALSE(c.operation(socket));
    EXPECT_EQ(WSAGetLastError(), c.expectedError);
    EXPECT_EQ(socket.m_hSocket != kAllBitsSet, c.objectKeepsSocket);
  }
}

#ifndef _WIN32
int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

TEST_F(SocketTest, ManyFailuresLeaveNoDescriptorOpen) {
  LoopbackPort closedPort(false);
  int before = OpenDescriptorCount();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 1000; ++i) {
    CSocket refused;
    ASSERT_TRUE(refused.Create());
    ASSERT_FALSE(refused.Connect("127.0.0.1", closedPort.port));
    CSocket inUse;
    ASSERT_FALSE(inUse.Create(listener_.port, SOCK_STREAM, FD_READ, "127.0.0.1"));
    CAsyncSocket acceptor;  // nothing waiting: would block
    ASSERT_FALSE(listener_.socket.CAsyncSocket::Accept(acceptor));
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

// ---- A connect that finishes between a slice of its wait and the check ----

// What the system says of the connect after each wait, every wait a poll
// that timed out: connect's EINPROGRESS, then these answers of SO_ERROR and
// getpeername in turn; once they are used up, the connect has failed, so a
// wait that should have ended cannot go on for ever.
enum class ConnectState { kGoingOn, kConnected, kRefused };
std::vector<ConnectState> g_connectStates;
size_t g_timedOutPolls = 0;

ConnectState StateAfterTheLastPoll() {
  if (g_timedOutPolls == 0) return ConnectState::kGoingOn;
  return g_timedOutPolls <= g_connectStates.size() ? g_connectStates[g_timedOutPolls - 1] : ConnectState::kRefused;
}

int ConnectUnderWay(int, const sockaddr*, socklen_t) {
  errno = EINPROGRESS;
  return -1;
}

int TimedOutPoll(pollfd* entries, nfds_t count, int) {
  for (nfds_t i = 0; i < count; ++i) entries[i].revents = 0;
  ++g_timedOutPolls;
  return 0;
}

int SocketErrorNow(int fd, int level, int name, void* value, socklen_t* length) {
  if (level != SOL_SOCKET || name != SO_ERROR) return ::getsockopt(fd, level, name, value, length);
  const int error = StateAfterTheLastPoll() == ConnectState::kRefused ? ECONNREFUSED : 0;
  std::memcpy(value, &error, sizeof(error));
  *length = sizeof(error);
  return 0;
}

int PeerNow(int, sockaddr* address, socklen_t* length) {
  if (StateAfterTheLastPoll() == ConnectState::kConnected) {
    std::memset(address, 0, *length);
    return 0;
  }
  errno = ENOTCONN;
  return -1;
}

TEST(SocketConnect, AskedAgainAfterASliceThatSawNothing) {
  using State = ConnectState;
  struct Case {
    const char* name;
    std::vector<State> states;
    BOOL connected;
    int error;  // when not connected
    size_t waits;
  };
  const Case cases[] = {
      {"finished meanwhile", {State::kConnected}, TRUE, 0, 1},
      {"going on, then finished", {State::kGoingOn, State::kConnected}, TRUE, 0, 2},
      {"failed meanwhile", {State::kRefused}, FALSE, WSAECONNREFUSED, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_connectStates = c.states;
    g_timedOutPolls = 0;
    ProbeSocket socket;
    ASSERT_TRUE(socket.Create());
    socket.m_nTimeOut = 0;  // each wait is one poll
    BOOL connected;
    {
      qbtest::ReplacedSystemCall connect(qbplatform::g_systemCalls.connect, &ConnectUnderWay);
      qbtest::ReplacedSystemCall poll(qbplatform::g_systemCalls.poll, &TimedOutPoll);
      qbtest::ReplacedSystemCall getsockopt(qbplatform::g_systemCalls.getsockopt, &SocketErrorNow);
      qbtest::ReplacedSystemCall getpeername(qbplatform::g_systemCalls.getpeername, &PeerNow);
      connected = socket.Connect("127.0.0.1", 9);  // never reaches the network
    }
    EXPECT_EQ(connected, c.connected);
    if (!c.connected) {
      EXPECT_EQ(WSAGetLastError(), c.error);
    }
    EXPECT_EQ(g_timedOutPolls, c.waits);
  }
}

TEST(SocketAttach, TakesASocketOverNonBlockingAndCloseOnExec) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);

  CAsyncSocket owner;
  ASSERT_TRUE(owner.Attach(static_cast<SOCKET>(fd)));
  EXPECT_EQ(owner.m_hSocket, static_cast<SOCKET>(fd));
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);

  CAsyncSocket other;
  ASSERT_TRUE(other.Create());
  EXPECT_FALSE(other.Attach(owner.m_hSocket));  // would lose its own socket
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);

  EXPECT_EQ(owner.Detach(), static_cast<SOCKET>(fd));
  EXPECT_EQ(owner.m_hSocket, kAllBitsSet);
  EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);  // Detach left it open
  close(fd);
}
#endif  // !_WIN32

TEST(SocketOptions, AcceptTheSystemsAndWinsocksOptionLevel) {
  CAsyncSocket socket;
  ASSERT_TRUE(socket.Create());
  for (int level : {SOL_SOCKET, 0xffff}) {
    for (int wanted : {1, 0}) {
      SCOPED_TRACE("level " + std::to_string(level) + " value " + std::to_string(wanted));
      ASSERT_TRUE(socket.SetSockOpt(SO_KEEPALIVE, &wanted, sizeof(wanted), level));
      // Windows may answer a boolean option in one byte (Wine does).
      int value = 0;
      int length = sizeof(value);
      ASSERT_TRUE(socket.GetSockOpt(SO_KEEPALIVE, &value, &length, level));
      ASSERT_TRUE(length == 1 || length == static_cast<int>(sizeof(value))) << length;
      EXPECT_EQ(value != 0, wanted != 0);
    }
  }
}

TEST(RuntimeClass, ReportsTheClassAndItsBases) {
  CAsyncSocket asyncSocket;
  CSocket blockingSocket;
  const CObject& asyncObject = asyncSocket;
  const CObject& blockingObject = blockingSocket;
  EXPECT_STREQ(asyncObject.GetRuntimeClass()->m_lpszClassName, "CAsyncSocket");
  EXPECT_STREQ(blockingObject.GetRuntimeClass()->m_lpszClassName, "CSocket");
  EXPECT_TRUE(blockingObject.IsKindOf(RUNTIME_CLASS(CAsyncSocket)));
  EXPECT_TRUE(blockingObject.IsKindOf(RUNTIME_CLASS(CObject)));
  EXPECT_FALSE(asyncObject.IsKindOf(RUNTIME_CLASS(CSocket)));
}

}  // namespace
