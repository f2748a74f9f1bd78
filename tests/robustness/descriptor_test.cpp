// Ten thousand failing connects of each kind leave the process with the
// descriptors it had before: refused proxy, refused target through a real
// proxy, credentials refused by a real proxy, negotiations that a proxy
// breaks off in every way, and a refused target on the direct path. Run
// under the asan preset, LeakSanitizer checks the memory side at exit.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

#include "CSocks.h"
#include "robustness/loopback_server.h"
#include "support/recording_message_box.h"
#include "support/servers.h"
#include "support/temp_hive.h"

namespace qbtest {
namespace {

using namespace std::chrono_literals;

constexpr int kConnects = 10000;

const char kGeneral[] = "General negotiation failure";


std::string Text(const std::vector<std::string>& messages) {
  std::string out;
  for (const std::string& m : messages) out += "[" + m + "]";
  return out;
}

// Runs kConnects connects to target:port, each with a CSocks of its own,
// and checks that each fails reporting what `expected(i)` says, and that
// afterwards (once `server`, if any, has closed its ends) the same
// descriptors are open as before.
void RunFailingConnects(const char* target, uint16_t port,
                        const std::function<std::vector<std::string>(int)>& expected,
                        const LoopbackServer* server = nullptr) {
  ASSERT_TRUE(AfxSocketInit());
  TakeReportedMessages();
  const std::vector<std::string> before = OpenDescriptors();

  int succeeded = 0;
  int wrong_reports = 0;
  std::string first_wrong;
  for (int i = 0; i < kConnects; ++i) {
    CSocks socks;
    ASSERT_TRUE(socks.Create()) << "connect " << i << ": error " << WSAGetLastError();
    if (socks.Connect(target, port) != 0) ++succeeded;
    const std::vector<std::string> reported = TakeReportedMessages();
    if (reported != expected(i) && wrong_reports++ == 0) {
      first_wrong = "connect " + std::to_string(i) + " reported " + Text(reported) +
                    ", expected " + Text(expected(i));
    }
  }
  EXPECT_EQ(succeeded, 0);
  EXPECT_EQ(wrong_reports, 0) << first_wrong;
  if (server != nullptr) {
    ASSERT_TRUE(server->WaitHandled(kConnects, 10s));
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

std::function<std::vector<std::string>(int)> Always(std::vector<std::string> messages) {
  return [messages](int) { return messages; };
}

TEST(DescriptorsAfterFailures, RefusedProxy) {
  TempHive hive;
  RefusingPort proxy;
  WriteSettings(hive, ProxyAt(proxy.port(), 5));
  RunFailingConnects("127.0.0.1", 80, Always({}));
}

TEST(DescriptorsAfterFailures, RefusedTargetOnTheDirectPath) {
  TempHive hive;
  RefusingPort target;
  WriteSettings(hive, {0, "127.0.0.1", 1080, 5, "", ""});
  RunFailingConnects("127.0.0.1", target.port(), Always({}));
}

TEST(DescriptorsAfterFailures, RefusedTargetThroughMicrosocks) {
  TempHive hive;
  RefusingPort target;
  auto proxy = StartMicrosocks();
  WriteSettings(hive, ProxyAt(proxy->port(), 5));
  RunFailingConnects("127.0.0.1", target.port(), Always({"Connection refused"}));
}

TEST(DescriptorsAfterFailures, CredentialsRefusedByMicrosocks) {
  TempHive hive;
  auto proxy = StartMicrosocks("alice", "s3cret");
  WriteSettings(hive, ProxyAt(proxy->port(), 5, "alice", "wrong"));
  RunFailingConnects("127.0.0.1", 80, Always({"Username/password subnegotition failure"}));
}

// A proxy that breaks off the negotiation: it reads the client's opening
// (SOCKS5: the offer, and with afterRequest also the CONNECT request after
// choosing no authentication; SOCKS4: the request), sends its answer, and
// then waits for the client to close, closes, or resets.
enum class Then { WaitForClose, Close, Reset };

struct Breakoff {
  bool afterRequest;
  std::string answer;
  Then then;
  const char* reported;
};

const size_t kOfferSize = 4;
const size_t kSocks5RequestSize = 10;  // to an IPv4 target

void Play(DWORD version, const Breakoff& b, int fd) {
  // A SOCKS4 request: 8 bytes of header, then the user id through its zero.
  bool open = version == 5 ? ReadExactly(fd, kOfferSize).has_value()
                           : ReadExactly(fd, 8) && ReadThroughZero(fd, 256);
  if (open && b.afterRequest) {
    open = SendAll(fd, std::string("\x05\x00", 2)) && ReadExactly(fd, kSocks5RequestSize);
  }
  if (!open) return;
  SendAll(fd, b.answer);
  if (b.then == Then::WaitForClose) DrainUntilClose(fd);
  if (b.then == Then::Reset) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  }
}

const std::vector<Breakoff> kSocks5Breakoffs = {
    {false, std::string("\x05\xff", 2), Then::WaitForClose, "General SOCKS5 authentication failure"},
    {false, std::string("\x04\x00", 2), Then::WaitForClose, "SOCKS5 version negotition failur"},
    {false, "", Then::Close, kGeneral},
    {true, std::string("\x05\x05", 2), Then::WaitForClose, "Connection refused"},
    {true, std::string("\x05\x00\x00\x09\x00\x00\x00", 7), Then::WaitForClose, kGeneral},
    {true, std::string("\x05\x00\x00", 3), Then::Reset, kGeneral},
};

const std::vector<Breakoff> kSocks4Breakoffs = {
    {false, std::string("\x00\x5b", 2), Then::WaitForClose, "Request rejected or failed"},
    {false, std::string("\x00\x5a\x00\x00", 4), Then::Close, kGeneral},
    {false, "", Then::Reset, kGeneral},
};

void RunBreakoffs(DWORD version, const std::vector<Breakoff>& breakoffs) {
  TempHive hive;
  size_t next = 0;
  LoopbackServer proxy([&](int fd) { Play(version, breakoffs[next++ % breakoffs.size()], fd); });
  WriteSettings(hive, ProxyAt(proxy.port(), version));
  RunFailingConnects(
      "10.0.0.1", 80,
      [&](int i) { return std::vector<std::string>{breakoffs[i % breakoffs.size()].reported}; },
      &proxy);
}

TEST(DescriptorsAfterFailures, Socks5NegotiationsBrokenOff) { RunBreakoffs(5, kSocks5Breakoffs); }

TEST(DescriptorsAfterFailures, Socks4NegotiationsBrokenOff) { RunBreakoffs(4, kSocks4Breakoffs); }

}  // namespace
}  // namespace qbtest
