// Every connect at its floor of system calls, and the settings read
// without allocating, once the settings file has settled.
//
// The calls that depend on timing are told apart by what they returned: a
// receive that found nothing (EAGAIN) comes with a wait for a reply that
// had not yet arrived, and a poll that saw nothing is a slice of a wait
// that ran out. The test counts what remains when those are taken away,
// the same on an idle machine and a loaded one.
//
// Alone in its program, because it replaces operator new for the whole
// program (counting_new.cpp) to count allocations.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <map>
#include <thread>

#include "csocks_fixture.h"
#include "support/counting_new.h"
#include "support/replaced_system_call.h"

namespace qbtest {
namespace {

using qbplatform::SystemCall;
using qbplatform::g_systemCalls;

std::array<unsigned long, kSystemCallCount> Counts() {
  std::array<unsigned long, kSystemCallCount> counts{};
  for (int i = 0; i < kSystemCallCount; ++i) counts[i] = CallCount(static_cast<SystemCall>(i));
  return counts;
}

// The reader trusts its parsed copy of a file only once the file's last
// change is two seconds old on the real-time clock (registry.cpp); this
// waits for that instant, looking at the clock between short pauses.
void WaitUntilSettled(const std::string& path) {
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
  const time_t changed = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec - changed >= 2) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// ---- System calls per connect ----

struct FloorCase {
  const char* name;
  bool through_proxy;
  // Each call's count per connect, empty receives not counted; every call
  // not named here must not be made at all (poll is checked apart).
  std::map<SystemCall, unsigned long> calls;
};

const FloorCase kFloorCases[] = {
    {"direct",
     false,
     {{SystemCall::stat, 1},
      {SystemCall::socket, 1},
      {SystemCall::connect, 1},
      {SystemCall::getsockopt, 1},
      {SystemCall::close, 1}}},
    {"SOCKS5 without authentication",
     true,
     {{SystemCall::stat, 1},
      {SystemCall::socket, 1},
      {SystemCall::connect, 1},
      {SystemCall::getsockopt, 1},
      {SystemCall::send, 2},
      {SystemCall::recv, 3},
      {SystemCall::close, 1}}},
};

TEST(ConnectFloor, SystemCallsPerConnect) {
  const std::string kTarget = "10.0.0.1";
  // Both settings files are written first, so that one wait settles both.
  ScriptedPeer direct_target({});
  TempHive direct_hive;
  WriteSettings(direct_hive, ProxySettings{0, "127.0.0.1", direct_target.port(), 5, "", ""});
  ScriptedPeer proxy({PeerStep::Expect(Bytes({5, 2, 0, 2})), PeerStep::Send(Bytes({5, 0})),
                      PeerStep::Expect(Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 80})),
                      PeerStep::Send(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}))});
  TempHive proxy_hive;
  WriteSettings(proxy_hive, ProxyAt(proxy.port(), 5));
  WaitUntilSettled(direct_hive.Path());
  WaitUntilSettled(proxy_hive.Path());

  for (const FloorCase& c : kFloorCases) {
    SCOPED_TRACE(c.name);
    const TempHive& hive = c.through_proxy ? proxy_hive : direct_hive;
    SetEnvironment("XDG_CONFIG_HOME", hive.ConfigHome());
    ProbeSocks warm;
    warm.ReadRegistry();  // parses the settled file once; later reads reuse it
    ASSERT_EQ(warm.m_bProxyEnable != 0, c.through_proxy);

    g_emptyReceives = 0;
    g_emptyPolls = 0;
    const auto before = Counts();
    {
      ReplacedSystemCall recv(g_systemCalls.recv, &CountingRecv);
      ReplacedSystemCall poll(g_systemCalls.poll, &CountingPoll);
      ProbeSocks socks;
      // Only a connect that takes a minute could end its wait on the pump
      // interval rather than on the socket turning writable.
      socks.m_nTimeOut = 60000;
      ASSERT_TRUE(socks.Create());
      const char* host = c.through_proxy ? kTarget.c_str() : "127.0.0.1";
      const unsigned port = c.through_proxy ? 80 : direct_target.port();
      ASSERT_EQ(socks.Connect(host, port), 1);
      socks.Close();
    }
    const auto after = Counts();

    for (int i = 0; i < kSystemCallCount; ++i) {
      const auto call = static_cast<SystemCall>(i);
      if (call == SystemCall::clock_gettime) continue;  // the tick count, from the vDSO
      const unsigned long made = after[i] - before[i];
      if (call == SystemCall::poll) continue;  // below
      const unsigned long empty = call == SystemCall::recv ? g_emptyReceives.load() : 0;
      const auto expected = c.calls.find(call);
      EXPECT_EQ(made - empty, expected == c.calls.end() ? 0 : expected->second) << kSystemCallNames[i];
    }
    // The connect's wait ends on a poll that saw the socket; a reply's wait
    // may, after an empty receive, or may end on the pump interval.
    const unsigned long ready_polls =
        after[static_cast<int>(SystemCall::poll)] - before[static_cast<int>(SystemCall::poll)] - g_emptyPolls;
    EXPECT_GE(ready_polls, 1u);
    EXPECT_LE(ready_polls, 1 + g_emptyReceives.load());
  }
}

// ---- Allocations per read of settled settings ----

TEST(ConnectFloor, SettledSettingsAreReadWithoutAllocating) {
  TempHive hive;
  WriteSettings(hive, ProxyAt(1080, 5, "alice", "secret"));
  WaitUntilSettled(hive.Path());
  ProbeSocks socks;
  socks.ReadRegistry();  // the first read parses the file
  ASSERT_EQ(socks.m_bProxyEnable, 1);

  const unsigned long before = ThreadAllocations();
  for (int i = 0; i < 10; ++i) socks.ReadRegistry();
  EXPECT_EQ(ThreadAllocations() - before, 0u);
  EXPECT_STREQ(socks.m_szUserName, "alice");
}

// ---- The password in memory given back ----

TEST(ConnectFloor, NoFreedBlockHoldsThePassword) {
  static const char kPassword[] = "never-left-in-freed-memory";  // too long to sit inside a string
  TempHive hive;
  WatchFreedBlocksFor(kPassword);
  const unsigned long before = FreedBlocksHoldingWatched();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, TempHive::kProxyKey, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "Password", 0, REG_SZ, reinterpret_cast<const BYTE*>(kPassword), sizeof kPassword),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ProbeSocks socks;
  socks.ReadRegistry();  // a file just written: parsed afresh, used and let go
  const unsigned long freed = FreedBlocksHoldingWatched() - before;
  WatchFreedBlocksFor({});
  EXPECT_STREQ(socks.m_szPassword, kPassword);
  EXPECT_EQ(freed, 0u) << "blocks given back with the password in them";
}

}  // namespace
}  // namespace qbtest
