// The C interface's resolver through its system calls: getaddrinfo stood in
// for by one that counts, holds each caller until let go, and answers
// 127.0.0.1 (where the test listens; a row may give more); and a thread
// start that fails. The connects go direct (no settings, but where a row
// writes its own) to names, so each looks its target up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qbsocks.h"
#include "support/replaced_system_call.h"

namespace qbtest {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int g_calls = 0, g_held = 0;
bool g_letGo = false;

std::vector<const char*> g_answers;  // what a lookup gives, in order

// g_answers as one list (glibc frees each entry of it apart).
int Answer(const char* service, const addrinfo* hints, addrinfo** results) {
  *results = nullptr;
  addrinfo** tail = results;
  for (const char* address : g_answers) {
    if (const int error = ::getaddrinfo(address, service, hints, tail)) return freeaddrinfo(*results), error;
    while (*tail != nullptr) tail = &(*tail)->ai_next;
  }
  return 0;
}

int HeldLookup(const char*, const char* service, const addrinfo* hints, addrinfo** results) {
  std::unique_lock<std::mutex> lock(g_mutex);
  ++g_calls, ++g_held;
  g_changed.notify_all();
  g_changed.wait(lock, [] { return g_letGo; });
  --g_held;
  g_changed.notify_all();
  return Answer(service, hints, results);
}

int NoThread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

int Entries(const char* folder) {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

class Resolver : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0, g_letGo = false;  // (before any lookup of this test's)
    g_answers = {"127.0.0.1"};
    ASSERT_NE(mkdtemp(folder_), nullptr);
    setenv("XDG_CONFIG_HOME", folder_, 1);  // no settings: direct
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener_, 128), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  void TearDown() override {
    LetGo();
    std::unique_lock<std::mutex> lock(g_mutex);  // no lookup held into the next test
    g_changed.wait_for(lock, std::chrono::minutes(2), [] { return g_held == 0; });
    close(listener_);
    std::filesystem::remove_all(folder_);
  }
  static void LetGo() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_letGo = true;
    g_changed.notify_all();
  }
  static int Calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
  }
  static bool Held(int held) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::minutes(2), [&] { return g_held >= held; });
  }
  // A caller-driven connect to name, polled once: it waits for its lookup.
  qbsocks_connecting* Waiting(const std::string& name) {
    qbsocks_connecting* connecting = qbsocks_connect_start(name.c_str(), port_, nullptr);
    qbsocks_wait wait;
    EXPECT_EQ(qbsocks_connect_poll(connecting, &wait), QBSOCKS_IN_PROGRESS);
    return connecting;
  }
  // Its result, polled to its end first when run (else given up).
  static int End(qbsocks_connecting* connecting, bool run, qbsocks_outcome* outcome = nullptr) {
    qbsocks_wait wait;
    while (run && qbsocks_connect_poll(connecting, &wait) == QBSOCKS_IN_PROGRESS) {
      pollfd entry{static_cast<int>(wait.socket), short(wait.events == QBSOCKS_WAIT_READABLE ? POLLIN : POLLOUT), 0};
      ::poll(&entry, 1, static_cast<int>(wait.timeout_ms));
    }
    uintptr_t socket = QBSOCKS_NO_HANDLE;
    const int result = qbsocks_connect_finish(connecting, &socket, outcome);
    if (socket != QBSOCKS_NO_HANDLE) close(static_cast<int>(socket));
    return result;
  }

  ReplacedSystemCall<decltype(&HeldLookup)> held_{qbplatform::g_systemCalls.getaddrinfo, &HeldLookup};
  char folder_[32] = "/tmp/qbsocks-resolver-XXXXXX";
  int listener_ = socket(AF_INET, SOCK_STREAM, 0);
  unsigned port_ = 0;
};

// Fails closed at once, never looking the name up on the caller's thread.
TEST_F(Resolver, NoThreadFailsTheConnectWithItsReason) {
  LetGo();
  ReplacedSystemCall<decltype(&NoThread)> failing(qbplatform::g_systemCalls.pthread_create, &NoThread);
  qbsocks_outcome outcome{sizeof(outcome), 0, 0, 0, 0, 0, {}};
  EXPECT_EQ(End(qbsocks_connect_start("no-thread.test", port_, nullptr), true, &outcome), QBSOCKS_TARGET_UNREACHABLE);
  EXPECT_EQ(outcome.step, QBSOCKS_STEP_TARGET_LOOKUP);
  EXPECT_STREQ(outcome.reason, "no thread to look the name up");
  EXPECT_EQ(Calls(), 0);
}

TEST_F(Resolver, ConnectsWantingOneNameShareItsLookup) {
  qbsocks_connecting* connects[50];
  for (auto& connecting : connects) connecting = Waiting("shared.test");
  LetGo();
  for (auto* connecting : connects) EXPECT_EQ(End(connecting, true), QBSOCKS_OK);
  EXPECT_EQ(Calls(), 1);
}

TEST_F(Resolver, ConnectsGivenUpLeaveNoThreadOrDescriptor) {
  std::thread([] {}).join();  // a sanitizer's own thread starts with the first other
  const int descriptors = Entries("/proc/self/fd"), threads = Entries("/proc/self/task");
  qbsocks_connecting* connects[6];
  for (int i = 0; i < 6; ++i) connects[i] = Waiting("given-up-" + std::to_string(i) + ".test");
  ASSERT_TRUE(Held(4));
  for (auto* connecting : connects) EXPECT_EQ(End(connecting, false), QBSOCKS_CANCELLED);
  EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
  EXPECT_LE(Entries("/proc/self/task"), threads + 4) << "a thread per lookup, not the resolver's four";
  LetGo();
  // (not Waiting: let go, its lookup and connect may end before a first poll)
  EXPECT_EQ(End(qbsocks_connect_start("later.test", port_, nullptr), true), QBSOCKS_OK);
  EXPECT_EQ(Calls(), 5) << "the two queued lookups not dropped";
}

// A loop that keys its watches by number (epoll, a selector) takes a new
// handle with an old number for the old one, whose watch the close ended.
// The proxy is a name; the listener, which never answers, takes its
// connects, so that the connect ends up waiting on its socket. Before each
// wait gives way, every number below its handle is taken, so that a handle
// opened once it is closed would get its number. Two ways: the lookup's
// wake gives way to the socket; and the first address's connect (to
// 127.0.0.2, whose backlog is full, so it waits) fails while watched, and
// the next address's socket follows.
TEST_F(Resolver, AChangedWaitNeverNamesTheNumberOfTheOneBefore) {
  const std::string settings = std::string(folder_) + "/qbsocks";
  mkdir(settings.c_str(), 0700);
  std::ofstream(settings + "/user.reg")
      << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\Proxy]\n"
      << "\"ProxyEnable\"=dword:1\n\"SocksServer\"=\"proxy.test\"\n\"SocksVersion\"=dword:5\n"
      << "\"SocksPort\"=dword:" << std::hex << port_ << "\n";
  sockaddr_in dropping{};  // one connection fills a backlog of 0: later SYNs are dropped
  dropping.sin_family = AF_INET, dropping.sin_port = htons(port_), dropping.sin_addr.s_addr = htonl(0x7F000002);
  const int full = socket(AF_INET, SOCK_STREAM, 0), filler = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&dropping), sizeof(dropping)), 0);
  listen(full, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&dropping), sizeof(dropping)), 0);
  for (const auto& answers : {std::vector<const char*>{"127.0.0.1"}, {"127.0.0.2", "127.0.0.1"}}) {
    SCOPED_TRACE(answers.size());
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_answers = answers, g_letGo = false;
    }
    qbsocks_connecting* connecting = Waiting("127.0.0.1");
    qbsocks_wait wait;
    qbsocks_connect_poll(connecting, &wait);  // the wake, while the lookup is held
    LetGo();
    bool failedOne = answers.size() == 1;  // (the first writable wait of two addresses is the first's)
    do {
      const int watched = static_cast<int>(wait.socket);
      std::vector<int> taken;
      while (taken.empty() || (taken.back() >= 0 && taken.back() < watched))
        taken.push_back(open("/dev/null", O_RDONLY));
      if (wait.events == QBSOCKS_WAIT_WRITABLE && !failedOne) failedOne = shutdown(watched, SHUT_RDWR) == 0;
      struct stat before = {}, after = {};  // (a socket waited on again is the same file)
      fstat(watched, &before);
      pollfd entry{watched, short(wait.events == QBSOCKS_WAIT_READABLE ? POLLIN : POLLOUT), 0};
      ::poll(&entry, 1, static_cast<int>(wait.timeout_ms));
      ASSERT_EQ(qbsocks_connect_poll(connecting, &wait), QBSOCKS_IN_PROGRESS);
      fstat(static_cast<int>(wait.socket), &after);
      EXPECT_TRUE(static_cast<int>(wait.socket) != watched ||
                  (after.st_dev == before.st_dev && after.st_ino == before.st_ino))
          << "handle " << watched << " closed and its number reopened";
      for (int descriptor : taken) close(descriptor);
    } while (wait.events == QBSOCKS_WAIT_WRITABLE);
    EXPECT_TRUE(failedOne) << "the first address's connect failed while it was watched";
    EXPECT_EQ(End(connecting, false), QBSOCKS_CANCELLED);
  }
  close(filler), close(full);
}

TEST_F(Resolver, TheBoundHoldsWhileTheLookupWaitsItsTurn) {
  qbsocks_connecting* busy[4];
  for (int i = 0; i < 4; ++i) busy[i] = Waiting("busy-" + std::to_string(i) + ".test");
  ASSERT_TRUE(Held(4));
  const qbsocks_connect_options options{sizeof(options), 300, nullptr};
  qbsocks_outcome outcome{sizeof(outcome), 0, 0, 0, 0, 0, {}};
  uintptr_t socket;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qbsocks_connect_ex("waiting.test", port_, &options, &socket, &outcome), QBSOCKS_TIMED_OUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(outcome.step, QBSOCKS_STEP_TARGET_LOOKUP);
  EXPECT_EQ(Calls(), 4) << "its lookup made, not dropped from the queue";
  for (auto* connecting : busy) End(connecting, false);
}

}  // namespace
}  // namespace qbtest
