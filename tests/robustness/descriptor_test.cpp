// Ten thousand failing connects of each kind leave the process with the
// descriptors it had before: refused proxy, refused target through a real
// proxy, credentials refused by a real proxy, negotiations that a proxy
// breaks off in every way, and a refused target on the direct path. Run
// under the asan preset, LeakSanitizer checks the memory side at exit.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CSocks.h"
#include "robustness/loopback_server.h"
#include "support/proxy_paths.h"
#include "support/recording_message_box.h"
#include "support/servers.h"
#include "support/temp_hive.h"
#include "support/wire.h"

namespace qbtest {
namespace {

using namespace std::chrono_literals;

constexpr int kConnects = 10000;

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
  const std::vector<std::string> before = OpenDescriptors();

  int succeeded = 0;
  int wrong_reports = 0;
  std::string first_wrong;
  // On a thread of their own: the wake that a thread's waits share closes
  // as the thread ends.
  std::thread([&] {
    for (int i = 0; i < kConnects; ++i) {
      CSocks socks;
      ASSERT_TRUE(socks.Create()) << "connect " << i << ": error " << WSAGetLastError();
      if (socks.Connect(target, port) != 0) ++succeeded;
      const std::vector<std::string> reported = TakeReportedMessages();
      if (reported != expected(i) && wrong_reports++ == 0) {
        first_wrong =
            "connect " + std::to_string(i) + " reported " + Text(reported) + ", expected " + Text(expected(i));
      }
    }
  }).join();
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
  RunFailingConnects("127.0.0.1", target.port(), Always({kConnectionRefused}));
}

TEST(DescriptorsAfterFailures, CredentialsRefusedByMicrosocks) {
  TempHive hive;
  auto proxy = StartProxy(Daemon::MicrosocksWithPassword);
  WriteSettings(hive, ProxyAt(proxy->port(), 5, kProxyUser, "wrong"));
  RunFailingConnects("127.0.0.1", 80, Always({kAuthFailure}));
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

const size_t kSocks5RequestSize = 10;  // to an IPv4 target

void Play(DWORD version, const Breakoff& b, int fd) {
  // A SOCKS4 request: 8 bytes of header, then the user id through its zero.
  bool open = version == 5 ? ReadExactly(fd, kSocks5Offer.size()).has_value()
                           : ReadExactly(fd, 8) && ReadThroughZero(fd, 256);
  if (open && b.afterRequest) {
    open = SendAll(fd, kNoAuthChoice) && ReadExactly(fd, kSocks5RequestSize);
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
    {false, Bytes({5, 0xFF}), Then::WaitForClose, kNoMethodFailure},
    {false, Bytes({4, 0}), Then::WaitForClose, kSocks5VersionFailure},
    {false, "", Then::Close, kGeneralFailure},
    {true, Bytes({5, 5}), Then::WaitForClose, kConnectionRefused},
    {true, Bytes({5, 0, 0, 9, 0, 0, 0}), Then::WaitForClose, kGeneralFailure},
    {true, Bytes({5, 0, 0}), Then::Reset, kGeneralFailure},
};

const std::vector<Breakoff> kSocks4Breakoffs = {
    {false, Bytes({0, 91}), Then::WaitForClose, kSocks4Rejected},
    {false, Bytes({0, 90, 0, 0}), Then::Close, kGeneralFailure},
    {false, "", Then::Reset, kGeneralFailure},
};

void RunBreakoffs(DWORD version, const std::vector<Breakoff>& breakoffs) {
  TempHive hive;
  size_t next = 0;
  LoopbackServer proxy([&](int fd) { Play(version, breakoffs[next++ % breakoffs.size()], fd); });
  WriteSettings(hive, ProxyAt(proxy.port(), version));
  RunFailingConnects(
      "10.0.0.1", 80, [&](int i) { return std::vector<std::string>{breakoffs[i % breakoffs.size()].reported}; },
      &proxy);
}

TEST(DescriptorsAfterFailures, Socks5NegotiationsBrokenOff) { RunBreakoffs(5, kSocks5Breakoffs); }

TEST(DescriptorsAfterFailures, Socks4NegotiationsBrokenOff) { RunBreakoffs(4, kSocks4Breakoffs); }

}  // namespace
}  // namespace qbtest
