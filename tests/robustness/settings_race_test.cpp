// The settings store changing while connects run: one thread rewrites the
// whole proxy key hundreds of times, cycling through three complete
// configurations that lead to paths the test can tell apart, while another
// thread connects in a loop with a fresh CSocks each time. Every connect
// must land on the path of a configuration that was in the file at some
// moment during that connect, never on a mix of two.
//
//   A: SOCKS5 proxy at port A with user alice   -> fake proxy A answers 'A'
//   B: SOCKS4 proxy at port B                   -> fake proxy B answers 'B'
//   C: ProxyEnable=1, A's port, version and credentials, but no server
//      -> proxy off, direct to the target       -> target answers 'T'
//
// The fake proxies accept only their own configuration exactly (a SOCKS4
// request at A, or alice's credentials cut with another's, is a mix) and
// break the connect off otherwise.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CSocks.h"
#include "settings/proxy_settings.h"
#include "settings/reg_store.h"
#include "unit/requests.h"
#include "robustness/loopback_server.h"
#include "support/replaced_system_call.h"
#include "support/temp_hive.h"
#include "support/wire.h"

namespace qbtest {
namespace {

using namespace std::chrono_literals;

constexpr int kWrites = 300;
constexpr const char* kKeyPath = qbsettings::kProxyKeyWithRoot;
const std::string kUser = "alice";
const std::string kPassword = "pa55";

std::string Le32(DWORD v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

struct Configuration {
  char path;  // what the connect reaches: 'A', 'B' or 'T'
  std::vector<std::pair<std::string, qbhive::Value>> values;
};

qbhive::Value Dword(DWORD v) {
  const std::string bytes = Le32(v);
  return {"", REG_DWORD, std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

qbhive::Value Sz(const std::string& text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return {"", REG_SZ, data};
}

// Replaces the whole key in one atomic rewrite of the hive file.
void WriteConfiguration(const Configuration& c) {
  const LONG rc = qbhive::UpdateHive(qbhive::HivePath(), [&](qbhive::Hive& hive) -> LONG {
    hive.DeleteKey(kKeyPath);
    qbhive::Key* key = hive.CreateKey(kKeyPath);
    for (const auto& [name, value] : c.values) key->SetValue(name, value.type, value.data);
    return ERROR_SUCCESS;
  });
  ASSERT_EQ(rc, ERROR_SUCCESS);
}

// What the fake proxies saw that no single configuration produces.
class Mismatches {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    list_.push_back(what);
  }
  std::vector<std::string> List() {
    std::lock_guard<std::mutex> lock(mutex_);
    return list_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> list_;
};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += std::string{kDigits[c >> 4], kDigits[c & 15], ' '};
  return out;
}

// Proxy A: SOCKS5 that wants alice's credentials.
void ServeA(int fd, uint16_t target, Mismatches& mismatches) {
  const auto offer = ReadExactly(fd, 4);
  if (!offer || *offer != kSocks5Offer) {
    return mismatches.Add("A: offer " + Hex(offer.value_or("")));
  }
  SendAll(fd, kPasswordChoice);
  // Read as framed, so that other credentials are seen at once, not after
  // a wait for bytes that never come.
  std::string sent;
  for (int field = 0; field < 2; ++field) {
    const auto length = ReadExactly(fd, field == 0 ? 2 : 1);
    const auto text = length ? ReadExactly(fd, static_cast<unsigned char>(length->back())) : std::nullopt;
    if (!text) return mismatches.Add("A: credentials cut short after " + Hex(sent));
    sent += *length + *text;
  }
  if (sent != Socks5AuthRequest(kUser, kPassword)) return mismatches.Add("A: credentials " + Hex(sent));
  SendAll(fd, kAuthAccepted);
  const auto request = ReadExactly(fd, 10);
  if (!request || *request != Socks5Request({127, 0, 0, 1}, target)) {
    return mismatches.Add("A: request " + Hex(request.value_or("")));
  }
  SendAll(fd, kSocks5Succeeded + "A");
  DrainUntilClose(fd);
}

// Proxy B: SOCKS4.
void ServeB(int fd, uint16_t target, Mismatches& mismatches) {
  // The version byte first: a SOCKS5 offer here is 4 bytes only.
  const auto version = ReadExactly(fd, 1);
  const auto head = version == std::string(1, '\x04') ? ReadExactly(fd, 7) : std::nullopt;
  const auto user_id = head ? ReadThroughZero(fd, 256) : std::nullopt;
  const std::string expected = Socks4Request({127, 0, 0, 1}, target).substr(1, 7);
  if (!head || *head != expected || !user_id) {
    return mismatches.Add("B: request " + Hex(version.value_or("") + head.value_or("")));
  }
  SendAll(fd, Socks4Reply(0, 90) + "B");
  DrainUntilClose(fd);
}

// Connects once and reads the one byte that names the path; '?' when the
// connect failed or nothing came.
char ConnectOnce(uint16_t target) {
  CSocks socks;
  if (!socks.Create() || socks.Connect("127.0.0.1", target) != 1) return '?';
  const std::string tag = ReceiveExactly(socks, 1);
  return tag.empty() ? '?' : tag[0];
}

TEST(SettingsUnderChange, EveryConnectSeesOneWholeConfiguration) {
  ASSERT_TRUE(AfxSocketInit());
  TempHive hive;
  Mismatches mismatches;
  LoopbackServer target([](int fd) {
    SendAll(fd, "T");
    DrainUntilClose(fd);
  });
  const uint16_t target_port = target.port();
  LoopbackServer proxy_a([&](int fd) { ServeA(fd, target_port, mismatches); });
  LoopbackServer proxy_b([&](int fd) { ServeB(fd, target_port, mismatches); });

  const std::vector<Configuration> configurations = {
      {'A',
       {{"ProxyEnable", Dword(1)},
        {"SocksServer", Sz("127.0.0.1")},
        {"SocksPort", Dword(proxy_a.port())},
        {"SocksVersion", Dword(5)},
        {"UserName", Sz(kUser)},
        {"Password", Sz(kPassword)}}},
      {'B',
       {{"ProxyEnable", Dword(1)},
        {"SocksServer", Sz("127.0.0.1")},
        {"SocksPort", Dword(proxy_b.port())},
        {"SocksVersion", Dword(4)},
        {"UserName", Sz("bob")},
        {"Password", Sz("b0b")}}},
      {'T',
       {{"ProxyEnable", Dword(1)},
        {"SocksPort", Dword(proxy_a.port())},
        {"SocksVersion", Dword(5)},
        {"UserName", Sz(kUser)},
        {"Password", Sz(kPassword)}}},
  };
  auto path_of = [&](int write) { return configurations[write % configurations.size()].path; };

  // Write k (k >= 1) puts configuration k % 3 in place; write 0 is the
  // first one, before any connect. `begun` and `done` bracket each write.
  WriteConfiguration(configurations[0]);
  std::atomic<int> begun{0};
  std::atomic<int> done{0};
  std::atomic<int> connects{0};
  std::atomic<bool> writer_finished{false};
  std::atomic<bool> writer_stalled{false};
  std::atomic<bool> stop_writing{false};  // enough wrong connects seen

  std::thread writer([&] {
    for (int k = 1; k <= kWrites; ++k) {
      begun.store(k);
      WriteConfiguration(configurations[k % configurations.size()]);
      done.store(k);
      // Let at least one whole connect run under this configuration.
      const int target_count = connects.load() + 2;
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (connects.load() < target_count && !stop_writing.load()) {
        if (std::chrono::steady_clock::now() > deadline) {
          writer_stalled.store(true);
          break;
        }
        std::this_thread::yield();
      }
      if (writer_stalled.load() || stop_writing.load()) break;
    }
    writer_finished.store(true);
  });

  std::vector<int> seen(128, 0);
  std::vector<std::string> wrong;
  while (!writer_finished.load() && wrong.size() < 10) {
    const int first = done.load();
    const char path = ConnectOnce(target_port);
    const int last = begun.load();
    connects.fetch_add(1);
    ++seen[static_cast<unsigned char>(path) & 127];
    bool allowed = false;
    for (int k = first; k <= last; ++k) allowed |= path == path_of(k);
    if (!allowed && wrong.size() < 10) {
      wrong.push_back("connect during writes " + std::to_string(first) + ".." + std::to_string(last) +
                      " took path '" + std::string(1, path) + "'");
    }
  }
  stop_writing.store(true);
  writer.join();

  EXPECT_FALSE(writer_stalled.load()) << "the connect loop stopped making progress";
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " connects on a wrong path, e.g. " << wrong.front();
  EXPECT_TRUE(mismatches.List().empty()) << "a proxy saw a mix: " << mismatches.List().front();
  // Every configuration was in force for whole connects, so each path was taken.
  EXPECT_GE(seen['A'], kWrites / 3);
  EXPECT_GE(seen['B'], kWrites / 3);
  EXPECT_GE(seen['T'], kWrites / 3);
  EXPECT_EQ(seen['?'], 0);
}

// Readers of a settings file that changed within the clock's tick (so no
// parse of it is kept) while one parse runs: they wait for it, and the
// next parse, which began after they came, serves them all. The first
// parser's open waits until each other reader has been seen asleep in the
// wait for a running parse (the one sleep on a reader's path), so that
// their arrival does not race with its parse.
std::string g_settingsPath;
std::atomic<int> g_settingsOpens{0};
std::vector<pid_t> g_readers;  // the readers' thread ids, filled before they start

bool AsleepInTheSystem(pid_t thread) {
  std::ifstream call("/proc/self/task/" + std::to_string(thread) + "/syscall");
  long number = -1;
  call >> number;
  return number == SYS_clock_nanosleep || number == SYS_nanosleep;
}

int OpenOnceAllWait(const char* path, int flags, mode_t mode) {
  if (path == g_settingsPath && !(flags & O_PATH) && g_settingsOpens.fetch_add(1) == 0) {
    std::set<pid_t> seen{static_cast<pid_t>(syscall(SYS_gettid))};
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (seen.size() < g_readers.size() && std::chrono::steady_clock::now() < deadline) {
      for (pid_t reader : g_readers)
        if (AsleepInTheSystem(reader)) seen.insert(reader);
    }
  }
  return ::open(path, flags, mode);
}

TEST(SettingsUnderChange, ReadersOfANewFileShareTheParseThatBeganAfterThem) {
  TempHive hive;
  hive.SetDword(qbsettings::kProxyKey, "SocksPort", 1080);  // just now: not settled
  g_settingsPath = hive.Path();
  g_readers.assign(8, 0);
  ReplacedSystemCall<int (*)(const char*, int, mode_t)> counted(qbplatform::g_systemCalls.open, &OpenOnceAllWait);
  std::atomic<int> released{0};
  std::vector<DWORD> ports(8, 0);
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&, i] {
      g_readers[i] = static_cast<pid_t>(syscall(SYS_gettid));
      released.fetch_add(1);
      while (released.load() < 8) std::this_thread::yield();  // a barrier: all start at once
      qbsettings::ProxySettings settings{};
      if (qbsettings::ReadProxySettings(&settings, qbsettings::kCheckPassword) == ERROR_SUCCESS)
        ports[i] = settings.dwPort;
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(ports, std::vector<DWORD>(8, 1080));
  // The first, and one for the seven that came during it; each its own: 8.
  EXPECT_EQ(g_settingsOpens.load(), 2);
}

}  // namespace
}  // namespace qbtest
