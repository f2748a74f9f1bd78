// The username/password request is wiped as soon as it has been sent, before
// the reply is read. This program supplies its own SecureZeroMemory, which
// the library's calls reach, and records what each call was asked to wipe
// and how many receives the platform layer had made by then.
#include "csocks_fixture.h"
#include "support/replaced_system_call.h"

#include <cstring>
#include <mutex>

namespace {

struct Wipe {
  std::string bytes;
  unsigned long receivesBefore;
};

std::mutex wipes_mutex;
std::vector<Wipe> wipes;

unsigned long Receives() { return qbtest::CallCount(qbplatform::SystemCall::recv); }

}  // namespace

extern "C" void* SecureZeroMemory(void* ptr, size_t cnt) {
  {
    std::lock_guard<std::mutex> lock(wipes_mutex);
    wipes.push_back({std::string(static_cast<const char*>(ptr), cnt), Receives()});
  }
  volatile char* p = static_cast<volatile char*>(ptr);
  for (size_t i = 0; i < cnt; ++i) p[i] = 0;
  return ptr;
}

namespace qbtest {
namespace {

const std::string kAuth = Socks5AuthRequest("alice", "correct-horse");

// The receives made when the authentication request went out.
std::atomic<long> g_receivesAtAuthSend{-1};

ssize_t NotingSend(int fd, const void* buffer, size_t length, int flags) {
  if (std::string(static_cast<const char*>(buffer), length) == kAuth) {
    g_receivesAtAuthSend = static_cast<long>(Receives());
  }
  return ::send(fd, buffer, length, flags);
}

TEST(PasswordWipe, AuthenticationRequestIsWipedBeforeTheReplyIsRead) {
  TempHive hive;
  ScriptedPeer proxy({PeerStep::Expect(kSocks5Offer), PeerStep::Send(kPasswordChoice), PeerStep::Expect(kAuth),
                      PeerStep::Send(Bytes({1, 1}))});
  WriteSettings(hive, ProxyAt(proxy.port(), 5, "alice", "correct-horse"));
  {
    std::lock_guard<std::mutex> lock(wipes_mutex);
    wipes.clear();
  }
  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  {
    ReplacedSystemCall noting(qbplatform::g_systemCalls.send, &NotingSend);
    EXPECT_EQ(socks.Connect("1.2.3.4", 80), 0);
  }
  EXPECT_EQ(proxy.Received(), kSocks5Offer + kAuth);
  ASSERT_GE(g_receivesAtAuthSend.load(), 0) << "the authentication request was not seen";

  std::lock_guard<std::mutex> lock(wipes_mutex);
  const auto wipe = std::find_if(wipes.begin(), wipes.end(),
                                 [](const Wipe& w) { return w.bytes.find(kAuth) != std::string::npos; });
  ASSERT_NE(wipe, wipes.end()) << "the buffer that carried the password was not wiped";
  EXPECT_EQ(static_cast<long>(wipe->receivesBefore), g_receivesAtAuthSend.load())
      << "the password stayed in memory while the reply was awaited";
}

}  // namespace
}  // namespace qbtest
