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
#include <optional>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include "csocks_fixture.h"
#include "qbsocks.h"
#include "support/connect_floor.h"
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
// change is two seconds old on the real-time clock (settings/registry_posix.cpp); this
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
  // not in the floor must not be made at all (poll is checked apart).
  ConnectFloor floor;
  // The proxy drips each reply, so that the connect, on a thread of its
  // own, sleeps waiting for them: its receives depend on timing.
  bool dripped = false;
};

const FloorCase kFloorCases[] = {
    {"direct", false, kDirectConnectFloor},
    {"SOCKS5 without authentication", true, kSocks5ConnectFloor},
    {"SOCKS5, each reply dripped", true, kSocks5ConnectFloor, true},
};

PeerScript ProxyScript(const FloorCase& c) {
  const auto reply = [&](std::string bytes) {
    return c.dripped ? PeerStep::Drip(std::move(bytes), milliseconds(50)) : PeerStep::Send(std::move(bytes));
  };
  if (!c.through_proxy) return {};  // the target itself
  return {PeerStep::Expect(Bytes({5, 2, 0, 2})), reply(Bytes({5, 0})),
          PeerStep::Expect(Bytes({5, 1, 0, 1, 10, 0, 0, 1, 0, 80})), reply(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}))};
}

TEST(ConnectFloor, SystemCallsPerConnect) {
  const std::string kTarget = "10.0.0.1";
  // Every settings file is written first, so that one wait settles them all.
  std::optional<ScriptedPeer> peers[std::size(kFloorCases)];
  std::optional<TempHive> hives[std::size(kFloorCases)];  // each made just before it is written
  for (size_t i = 0; i < std::size(kFloorCases); ++i) {
    const FloorCase& c = kFloorCases[i];
    peers[i].emplace(ProxyScript(c));
    WriteSettings(hives[i].emplace(), c.through_proxy ? ProxyAt(peers[i]->port(), 5)
                                                      : ProxySettings{0, "127.0.0.1", peers[i]->port(), 5, "", ""});
  }
  for (const auto& hive : hives) WaitUntilSettled(hive->Path());

  for (size_t n = 0; n < std::size(kFloorCases); ++n) {
    const FloorCase& c = kFloorCases[n];
    SCOPED_TRACE(c.name);
    SetEnvironment("XDG_CONFIG_HOME", hives[n]->ConfigHome());
    ProbeSocks warm;
    warm.ReadRegistry();  // parses the settled file once; later reads reuse it
    ASSERT_EQ(warm.m_bProxyEnable != 0, c.through_proxy);

    g_emptyReceives = 0;
    g_emptyPolls = 0;
    const auto before = Counts();
    const auto connect = [&] {
      ReplacedSystemCall recv(g_systemCalls.recv, &CountingRecv);
      ReplacedSystemCall poll(g_systemCalls.poll, &CountingPoll);
      ProbeSocks socks;
      // Only a connect that takes a minute could end its wait on the pump
      // interval rather than on the socket turning writable.
      socks.m_nTimeOut = 60000;
      ASSERT_TRUE(socks.Create());
      const char* host = c.through_proxy ? kTarget.c_str() : "127.0.0.1";
      const unsigned port = c.through_proxy ? 80 : peers[n]->port();
      ASSERT_EQ(socks.Connect(host, port), 1);
      socks.Close();
    };
    if (c.dripped) std::thread(connect).join();
    else connect();
    const auto after = Counts();
    const auto made = [&](SystemCall call) { return after[static_cast<int>(call)] - before[static_cast<int>(call)]; };

    // The thread's wake, made at its first wait that sleeps (if this
    // connect's was that) and closed as the thread ends.
    const unsigned long wakes = made(SystemCall::eventfd);
    EXPECT_LE(wakes, 1u) << "a wake made for each wait, not once for the thread";
    const ConnectFloor floor =
        c.floor.With({{SystemCall::eventfd, wakes}, {SystemCall::close, c.dripped ? wakes : 0}});
    for (int i = 0; i < kSystemCallCount; ++i) {
      const auto call = static_cast<SystemCall>(i);
      if (call == SystemCall::clock_gettime) continue;      // the tick count, from the vDSO
      if (call == SystemCall::poll) continue;               // below
      if (c.dripped && call == SystemCall::recv) continue;  // each byte may come alone
      const unsigned long empty = call == SystemCall::recv ? g_emptyReceives.load() : 0;
      EXPECT_EQ(made(call) - empty, floor[call]) << kSystemCallNames[i];
    }
    // The connect's wait ends on a poll that saw the socket; a reply's wait
    // may, after an empty receive, or may end on the pump interval.
    const unsigned long ready_polls = made(SystemCall::poll) - g_emptyPolls;
    EXPECT_GE(ready_polls, c.floor[SystemCall::poll]);
    EXPECT_LE(ready_polls, c.floor[SystemCall::poll] + g_emptyReceives.load());
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

// The thread's stack below the caller's frame: zeroed, or searched for
// `bytes` (memory the calls made since have given back). Not instrumented:
// it reads the frames of calls that have returned.
__attribute__((noinline, no_sanitize("address"))) bool StackBelow(std::string_view bytes) {
  pthread_attr_t attr;
  void* low = nullptr;
  size_t size = 0;
  pthread_getattr_np(pthread_self(), &attr);
  pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  volatile char* p = static_cast<volatile char*>(low) + 4096;  // above the guard page
  volatile char* const end = static_cast<volatile char*>(__builtin_frame_address(0)) - 512;
  for (; bytes.empty() && p < end; ++p) *p = 0;
  for (; p + bytes.size() <= end; ++p) {
    size_t i = 0;
    while (i < bytes.size() && p[i] == bytes[i]) ++i;
    if (i == bytes.size()) return true;
  }
  return false;
}

// Runs f in frames well below the caller's, all within StackBelow's reach.
__attribute__((noinline)) void RunDeeper(const std::function<void()>& f) {
  volatile char room[2048];
  room[0] = 0;
  f();
  (void)room[0];
}

// Each way in that reads the password, short (inside a string object) and
// long: nothing the library gave back, heap block or stack, holds it after.
// From the first call on: every build binds its symbols at load (a lazy
// binding saves the vector registers, which may hold a short password just
// copied, on the stack).
TEST(ConnectFloor, NoFreedMemoryHoldsThePassword) {
  const std::function<void()> ways[] = {
      [] { ProbeSocks().ReadRegistry(); },  // a file just written: parsed afresh
      [] {
        char route[128];
        qbsocks_route(route, sizeof route);
      },
      [] {  // through the proxy, last
        uintptr_t handle = QBSOCKS_NO_HANDLE;
        EXPECT_EQ(qbsocks_connect("127.0.0.1", 80, &handle, nullptr, 0), QBSOCKS_OK);
        if (handle != QBSOCKS_NO_HANDLE) ::close(static_cast<int>(handle));
      },
  };
  for (const std::string password : {"short-secret", "never-left-in-freed-memory"}) {
    for (size_t way = 0; way < std::size(ways); ++way) {
      {  // once, with nothing bound beforehand
        TempHive hive;
        std::optional<ScriptedPeer> proxy;
        if (way + 1 == std::size(ways)) {
          proxy.emplace(PeerScript{PeerStep::Expect(kSocks5Offer), PeerStep::Send(kPasswordChoice),
                                   PeerStep::Expect(Socks5AuthRequest("alice", password)),
                                   PeerStep::Send(Bytes({1, 0})), PeerStep::Expect(Socks5Request({127, 0, 0, 1}, 80)),
                                   PeerStep::Send(kSocks5Succeeded)});
        }
        WriteSettings(hive, ProxyAt(proxy ? proxy->port() : 1080, 5, "alice", password));
        std::thread([&] {
          SCOPED_TRACE(password + ", way " + std::to_string(way));
          StackBelow({});
          WatchFreedBlocksFor(password);
          RunDeeper(ways[way]);
          WatchFreedBlocksFor({});
          EXPECT_EQ(FreedBlocksHoldingWatched(), 0u) << "blocks given back with the password in them";
          EXPECT_FALSE(StackBelow(password)) << "the password left on the stack";
        }).join();
      }
    }
  }
}

}  // namespace
}  // namespace qbtest
