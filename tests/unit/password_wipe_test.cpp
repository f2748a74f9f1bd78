// The username/password request is wiped as soon as it has been sent. This
// program supplies its own SecureZeroMemory, which the library's calls
// reach, and records what each call was asked to wipe.
#include "csocks_fixture.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex wiped_mutex;
std::vector<std::string> wiped_regions;

}  // namespace

extern "C" void* SecureZeroMemory(void* ptr, size_t cnt) {
  {
    std::lock_guard<std::mutex> lock(wiped_mutex);
    wiped_regions.emplace_back(static_cast<const char*>(ptr), cnt);
  }
  volatile char* p = static_cast<volatile char*>(ptr);
  for (size_t i = 0; i < cnt; ++i) p[i] = 0;
  return ptr;
}

namespace qbtest {
namespace {

bool SomeWipeHeld(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(wiped_mutex);
  for (const std::string& region : wiped_regions) {
    if (region.find(bytes) != std::string::npos) return true;
  }
  return false;
}

TEST(PasswordWipe, AuthenticationRequestIsWipedAfterSending) {
  const std::string auth = Socks5AuthRequest("alice", "correct-horse");
  TempHive hive;
  ScriptedPeer proxy({PeerStep::Expect(kSocks5Offer), PeerStep::Send(kPasswordChoice),
                      PeerStep::Expect(auth), PeerStep::Send(Bytes({1, 1}))});
  WriteSettings(hive, ProxyAt(proxy.port(), 5, "alice", "correct-horse"));
  {
    std::lock_guard<std::mutex> lock(wiped_mutex);
    wiped_regions.clear();
  }
  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  EXPECT_EQ(socks.Connect("1.2.3.4", 80), 0);
  EXPECT_EQ(proxy.Received(), kSocks5Offer + auth);
  EXPECT_TRUE(SomeWipeHeld(auth)) << "the buffer that carried the password was not wiped";
}

}  // namespace
}  // namespace qbtest
