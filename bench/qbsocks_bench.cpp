// What CSocks costs beyond the protocol's own round trips, measured on
// loopback against a floor (a raw client doing the same thing with plain
// blocking system calls) and against libcurl:
//
//   1. SOCKS5 connect through microsocks, no authentication, IPv4 target:
//      CSocks vs raw vs libcurl (CURLOPT_CONNECT_ONLY, socks5h://), and
//      the C entry (qbsocks_connect of libqbsocks, qbsocks_connect_ex, and
//      the connects no thread waits for: the caller-driven form and the
//      callback form) in the same rounds;
//   2. the direct path (proxy off): CSocks and the C entry vs a raw connect;
//   3. throughput through microsocks after the handshake: Send/Receive vs
//      send/recv, both directions;
//   4. the ten-second budget against a proxy that accepts and stays silent;
//   5. reading a settings file of 1 MiB (and a few more sizes and shapes),
//      as a connect does when the file has changed;
//   6. qbsocks-cat beside connect-proxy and ncat, run as ssh runs a
//      ProxyCommand, through the same microsocks: a short exchange (start,
//      connect, 4 bytes each way, end) and a download of 16 MiB;
//   7. the Python binding's connect and 4-byte echo beside python-socks and
//      PySocks, through the same microsocks (bench/python_peers.py).
//
// Connect samples are interleaved (the order rotates every round), so the
// machine's drift falls on every client alike; the table gives medians.
// It is printed and written to bench/results/latest.md (or --out FILE),
// with the latency distributions drawn beside it (latency.png, gnuplot).
//
// CSocks's system calls (through the platform's table of system calls) and
// allocations (operator new, replaced for the whole program) are counted
// at every connect; the run fails when a connect makes more calls than its
// floor: 6 direct, 11 through SOCKS5, plus an empty receive and a poll for
// each reply that had not arrived when first read (the floor's table,
// tests/support/connect_floor.h, is the one the floor test asserts).
//
//   qbsocks_bench [--connects N] [--mib N] [--rounds N] [--exchanges N] [--no-budget] [--out FILE]
//   qbsocks_bench --parse-only    (5 alone, printed, nothing written)
//   qbsocks_bench --tools-only    (6 alone, printed, nothing written)
//   qbsocks_bench --python-only   (7 alone, printed, nothing written)
//   qbsocks_bench --connect-only  (1 and 2 alone, printed, nothing written)
//
// Thousands of connects at once, and the CPU of connects that wait, are
// bench/many_connects.cpp's.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CSocks.h"
#include "bench_common.h"
#include "qbsocks.h"
#include "settings/reg_store.h"
#include "support/connect_floor.h"
#include "support/counting_new.h"
#include "support/replaced_system_call.h"
#include "support/servers.h"
#include "support/settings_hive.h"
#include "posix/system_calls.h"

namespace {

using qbbench::Clock;
using qbbench::CpuModel;
using qbbench::Die;
using qbbench::Fixed;
using qbbench::ListenOnLoopback;
using qbbench::LoadAverage;
using Nanos = std::chrono::nanoseconds;

constexpr size_t kChunk = 64 * 1024;

struct Options {
  int connects = 2000;
  size_t mib = 256;
  int rounds = 3;
  int exchanges = 100;
  bool budget = true;
  bool parse_only = false;
  bool tools_only = false;
  bool python_only = false;
  bool connect_only = false;
  std::string out = QBSOCKS_BENCH_RESULTS;
};

// ---- Settings: a hive of the bench's own ----

// The tests' settings hive (XDG_CONFIG_HOME at a temporary folder of its
// own while it lives); a setting that cannot be written ends the bench.
class BenchHive : public qbtest::SettingsHive {
 public:
  const std::string& Dir() const { return ConfigHome(); }

  void UseProxy(DWORD enable, uint16_t port) {
    qbtest::WriteSettings(*this, qbtest::ProxySettings{enable, "127.0.0.1", port, 5, "", ""});
    qbbench::LetSettingsSettle();
  }

 protected:
  void OnFailure(const std::string& what, LONG /*rc*/) override { Die("cannot write the setting: " + what); }
};

// ---- What CSocks asks of the system, per connect ----

using qbplatform::SystemCall;
using qbplatform::g_systemCalls;

struct Counters {
  std::array<unsigned long, qbtest::kSystemCallCount> calls{};
  unsigned long empty_receives = 0;
  unsigned long empty_polls = 0;
  unsigned long allocations = 0;

  static Counters Now() {
    Counters now;
    for (int i = 0; i < qbtest::kSystemCallCount; ++i) now.calls[i] = g_systemCalls.counts[i].load();
    now.empty_receives = qbtest::g_emptyReceives.load();
    now.empty_polls = qbtest::g_emptyPolls.load();
    now.allocations = qbtest::ThreadAllocations();
    return now;
  }
  // System calls proper: clock_gettime is answered by the vDSO.
  unsigned long SystemCalls() const {
    unsigned long total = 0;
    for (int i = 0; i < qbtest::kSystemCallCount; ++i) {
      if (static_cast<SystemCall>(i) != SystemCall::clock_gettime) total += calls[i];
    }
    return total;
  }
  Counters operator-(const Counters& o) const {
    Counters d;
    for (int i = 0; i < qbtest::kSystemCallCount; ++i) d.calls[i] = calls[i] - o.calls[i];
    d.empty_receives = empty_receives - o.empty_receives;
    d.empty_polls = empty_polls - o.empty_polls;
    d.allocations = allocations - o.allocations;
    return d;
  }
  void operator+=(const Counters& o) {
    for (int i = 0; i < qbtest::kSystemCallCount; ++i) calls[i] += o.calls[i];
    empty_receives += o.empty_receives;
    empty_polls += o.empty_polls;
    allocations += o.allocations;
  }
};

// Whether a connect has made the eventfd that the waits of the bench's
// thread share (made once, at the thread's first wait that sleeps).
bool g_threadWakeMade = false;

// The sum over one path's connects, and how many went above the floor.
struct Tally {
  explicit Tally(unsigned long floor_calls) : floor(floor_calls) {}

  unsigned long floor;  // system calls of a connect whose replies were all there
  Counters sum;
  unsigned long connects = 0;
  unsigned long above_floor = 0;

  void Add(const Counters& one) {
    sum += one;
    ++connects;
    // Each reply not there when first read costs its empty receive and the
    // poll that saw it come; a poll slice that ran out is part of a wait.
    // The thread's wake is allowed once.
    const unsigned long wake = one.calls[static_cast<int>(SystemCall::eventfd)];
    const unsigned long thread_wake = !g_threadWakeMade && wake == 1 ? 1 : 0;
    g_threadWakeMade |= wake != 0;
    if (one.SystemCalls() > floor + 2 * one.empty_receives + one.empty_polls + thread_wake) ++above_floor;
  }
  double PerConnect(unsigned long n) const { return connects ? static_cast<double>(n) / connects : 0; }
};

// ---- Raw clients: plain blocking system calls ----

int RawConnect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    Die(std::string("raw connect: ") + strerror(errno));
  }
  return fd;
}

void RawSendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) Die("raw send failed");
    p += n;
    size -= static_cast<size_t>(n);
  }
}

void RawReceiveAll(int fd, void* data, size_t size) {
  if (recv(fd, data, size, MSG_WAITALL) != static_cast<ssize_t>(size)) Die("raw receive failed");
}

// The handshake CSocks does, bytes for bytes: offer 05 02 00 02, choice,
// CONNECT to 127.0.0.1:port, a reply with an IPv4 bound address.
int RawSocks5Connect(uint16_t proxy, uint16_t target) {
  const int fd = RawConnect(proxy);
  const unsigned char offer[] = {5, 2, 0, 2};
  unsigned char reply[10];
  RawSendAll(fd, offer, sizeof(offer));
  RawReceiveAll(fd, reply, 2);
  if (reply[0] != 5 || reply[1] != 0) Die("raw client: unexpected method choice");
  const unsigned char request[] = {
      5, 1, 0, 1, 127, 0, 0, 1, static_cast<unsigned char>(target >> 8), static_cast<unsigned char>(target & 0xff)};
  RawSendAll(fd, request, sizeof(request));
  RawReceiveAll(fd, reply, 10);
  if (reply[1] != 0 || reply[3] != 1) Die("raw client: CONNECT refused");
  return fd;
}

// ---- The clients under test ----

void CSocksConnect(CSocks& socks, uint16_t target) {
  if (!socks.Create()) Die("CSocks::Create failed");
  if (socks.Connect("127.0.0.1", target) != 1) {
    Die("CSocks::Connect failed: " + std::to_string(WSAGetLastError()));
  }
}

// The C entry, from the call to the handed-over socket (what a C, Python
// or C# host pays); closing is outside the sample.
Clock::duration TimeCEntry(uint16_t target) {
  uintptr_t handle = QBSOCKS_NO_HANDLE;
  char reason[256];
  const auto start = Clock::now();
  const int result = qbsocks_connect("127.0.0.1", target, &handle, reason, sizeof(reason));
  const auto took = Clock::now() - start;
  if (result != QBSOCKS_OK) Die(std::string("qbsocks_connect failed: ") + reason);
  close(static_cast<int>(handle));
  return took;
}

// qbsocks_connect_ex as a caller that wants the facts calls it: options (no
// bound, no cancel, as qbsocks_connect) and an outcome.
Clock::duration TimeCEntryEx(uint16_t target) {
  uintptr_t handle = QBSOCKS_NO_HANDLE;
  const qbsocks_connect_options options{sizeof(options), 0, nullptr};
  qbsocks_outcome outcome{};
  outcome.size = sizeof(outcome);
  const auto start = Clock::now();
  const int result = qbsocks_connect_ex("127.0.0.1", target, &options, &handle, &outcome);
  const auto took = Clock::now() - start;
  if (result != QBSOCKS_OK) Die(std::string("qbsocks_connect_ex failed: ") + outcome.reason);
  close(static_cast<int>(handle));
  return took;
}

// The caller-driven form as a C program with a loop of its own drives one
// connect: start, then poll(2) on the handle each qbsocks_connect_poll
// names until the connect ends, then finish; options and outcome as
// qbsocks_connect_ex's sample.
Clock::duration TimeCallerDriven(uint16_t target) {
  uintptr_t handle = QBSOCKS_NO_HANDLE;
  const qbsocks_connect_options options{sizeof(options), 0, nullptr};
  qbsocks_outcome outcome{};
  outcome.size = sizeof(outcome);
  const auto start = Clock::now();
  qbsocks_connecting* connecting = qbsocks_connect_start("127.0.0.1", target, &options);
  qbsocks_wait wait{};
  while (qbsocks_connect_poll(connecting, &wait) == QBSOCKS_IN_PROGRESS) {
    const short events = wait.events == QBSOCKS_WAIT_READABLE ? POLLIN : POLLOUT;
    pollfd ready{static_cast<int>(wait.socket), events, 0};
    poll(&ready, 1, wait.timeout_ms == QBSOCKS_WAIT_FOREVER ? -1 : static_cast<int>(wait.timeout_ms));
  }
  const int result = qbsocks_connect_finish(connecting, &handle, &outcome);
  const auto took = Clock::now() - start;
  if (result != QBSOCKS_OK) Die(std::string("the caller-driven connect failed: ") + outcome.reason);
  close(static_cast<int>(handle));
  return took;
}

// The callback form, from the call to the calling thread woken with the
// socket the callback was given (what a program that waits for it pays).
class CallbackWait {
 public:
  static void QBSOCKS_CALL OnEnded(void* context, int result, uintptr_t socket, const qbsocks_outcome* outcome) {
    auto* wait = static_cast<CallbackWait*>(context);
    std::lock_guard<std::mutex> lock(wait->mutex_);
    wait->result_ = result;
    wait->socket_ = socket;
    if (result != QBSOCKS_OK) wait->reason_ = outcome->reason;
    wait->ended_.notify_one();
  }
  uintptr_t Socket() {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.wait(lock, [&] { return result_ != QBSOCKS_IN_PROGRESS; });
    if (result_ != QBSOCKS_OK) Die("the callback connect failed: " + reason_);
    return socket_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  int result_ = QBSOCKS_IN_PROGRESS;
  uintptr_t socket_ = QBSOCKS_NO_HANDLE;
  std::string reason_;
};

Clock::duration TimeCallback(uint16_t target) {
  const qbsocks_connect_options options{sizeof(options), 0, nullptr};
  CallbackWait wait;
  const auto start = Clock::now();
  if (qbsocks_connect_async("127.0.0.1", target, &options, &CallbackWait::OnEnded, &wait) != QBSOCKS_OK) {
    Die("qbsocks_connect_async refused the connect");
  }
  const uintptr_t handle = wait.Socket();
  const auto took = Clock::now() - start;
  close(static_cast<int>(handle));
  return took;
}

CURL* CurlConnect(const std::string& proxy_url, const std::string& target_url) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) Die("curl_easy_init failed");
  curl_easy_setopt(curl, CURLOPT_URL, target_url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy_url.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  const CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK) Die(std::string("libcurl: ") + curl_easy_strerror(rc));
  return curl;
}

// ---- A target for the throughput runs ----

// Accepts connections one after the other on 127.0.0.1. The client's first
// byte says what to do: 'D' sends `bytes` to the client; 'U' takes `bytes`
// from it and answers with one byte.
class BulkTarget {
 public:
  explicit BulkTarget(size_t bytes) : bytes_(bytes) {
    listener_ = ListenOnLoopback(16, &port_, "bulk target: cannot listen");
    thread_ = std::thread([this] { Run(); });
  }
  ~BulkTarget() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  void Run() {
    std::vector<char> buffer(kChunk, 'x');
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      char command = 0;
      if (recv(fd, &command, 1, MSG_WAITALL) == 1) {
        size_t left = bytes_;
        while (left > 0) {
          const size_t n = std::min(left, buffer.size());
          const ssize_t done =
              command == 'D' ? send(fd, buffer.data(), n, MSG_NOSIGNAL) : recv(fd, buffer.data(), n, 0);
          if (done <= 0) break;
          left -= static_cast<size_t>(done);
        }
        if (command == 'U') send(fd, "k", 1, MSG_NOSIGNAL);
      }
      close(fd);
    }
  }

  size_t bytes_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// ---- Measuring ----

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Runs each timed action `rounds` times, rotating the order every round,
// and returns each action's samples in microseconds.
std::vector<std::vector<double>> Interleaved(int rounds,
                                             const std::vector<std::function<Clock::duration()>>& actions) {
  std::vector<std::vector<double>> samples(actions.size());
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < actions.size(); ++k) {
      const size_t which = (round + k) % actions.size();
      samples[which].push_back(Micros(actions[which]()));
    }
  }
  return samples;
}

struct Row {
  std::string what;
  std::string csocks;
  std::string raw;
  std::string curl;
  std::string ratio_raw;
  std::string ratio_curl;
  std::string target;
  bool met;
  std::string ratio_csocks = "";  // the C entry's rows: against CSocks::Connect
  std::string ratio_centry = "";  // qbsocks_connect_ex's rows: against qbsocks_connect
};

// A row of qbsocks-cat beside the other proxy commands: one figure each,
// qbsocks-cat's first. Its goal is to be at least as good as the best peer.
struct ToolRow {
  std::string what;
  std::vector<double> figures;
  bool higher_is_better;
  int decimals;
};

std::string Machine(const std::string& load_at_start) {
  utsname name{};
  uname(&name);
  return std::to_string(std::thread::hardware_concurrency()) + " CPUs (nproc), " + CpuModel() + ", Linux " +
         name.release + ", " + curl_version() + "; load average at the start: " + load_at_start +
         ", at the end: " + LoadAverage();
}

// "stat 1, socket 1, poll 1.38, ...": the calls a path made, per connect.
std::string CallsByName(const Tally& tally) {
  std::string out;
  for (int i = 0; i < qbtest::kSystemCallCount; ++i) {
    if (static_cast<SystemCall>(i) == SystemCall::clock_gettime || tally.sum.calls[i] == 0) continue;
    const double per = tally.PerConnect(tally.sum.calls[i]);
    out += (out.empty() ? "" : ", ") + std::string(qbtest::kSystemCallNames[i]) + " " +
           (tally.sum.calls[i] % tally.connects == 0 ? Fixed(per, 0) : Fixed(per, 2));
  }
  return out;
}

// ---- Reading the settings file ----

struct SettingsFile {
  std::string what;
  std::string text;
};

// The .reg header and then `section(i)` for i = 0, 1, ... up to `bytes`
// (at least once).
std::string RegText(size_t bytes, const std::function<std::string(size_t)>& section) {
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  size_t i = 0;
  do {
    text += section(i++);
  } while (text.size() < bytes);
  return text;
}

// "\\name" `levels` times.
std::string Levels(size_t levels, const std::string& name) {
  std::string path;
  for (size_t i = 0; i < levels; ++i) path += "\\" + name;
  return path;
}

// What a regedit export looks like (a key per application, a few values
// each), and the shapes that cost most per byte: deep keys, new ones or
// the same one again, up to Windows' limits and past them.
std::vector<SettingsFile> SettingsFiles() {
  constexpr size_t kMiB = 1 << 20;
  const auto exported = [](size_t i) {
    return "[HKEY_CURRENT_USER\\Software\\Vendor " + std::to_string(i / 10) + "\\Application " + std::to_string(i) +
           "\\Settings]\n\"Server\"=\"host" + std::to_string(i) +
           ".example\"\n\"Port\"=dword:00000438\n\"Window\"=hex:2c,00,00,00,00,00,00,00,01,00,00,00\n\n";
  };
  const std::string deep = Levels(511, "k");
  const std::string long_names = Levels(511, std::string(qbhive::kMaxKeyNameLength, 'n'));
  return {
      {"like a regedit export, 1 MiB", RegText(kMiB, exported)},
      {"like a regedit export, 4 MiB", RegText(4 * kMiB, exported)},
      {"new keys 512 levels deep, 1 MiB",
       RegText(kMiB, [&](size_t i) { return "[HKEY_CURRENT_USER\\D" + std::to_string(i) + deep + "]\n"; })},
      {"new keys 512 levels deep, 30-character names, 1 MiB",
       RegText(kMiB,
               [&](size_t i) {
                 return "[HKEY_CURRENT_USER\\D" + std::to_string(i) + Levels(511, std::string(30, 'm')) + "]\n";
               })},
      {"one key 512 levels deep, again and again, 1 MiB",
       RegText(kMiB, [&](size_t) { return "[HKEY_CURRENT_USER\\D" + deep + "]\n\"V\"=dword:1\n"; })},
      {"keys 512 levels deep, 255-character names, 1 MiB",
       RegText(kMiB, [&](size_t i) { return "[HKEY_CURRENT_USER\\L" + std::to_string(i) + long_names + "]\n"; })},
      {"one key 16,000 levels deep (32 KB)",
       RegText(0, [](size_t) { return "[HKEY_CURRENT_USER" + Levels(16000, "k") + "]\n"; })},
  };
}

// LoadHive (read and parse) of each file, median of `rounds`; a table.
std::string MeasureSettingsReads(const std::string& dir, int rounds) {
  std::ostringstream table;
  table << "| settings file | bytes | keys read | median ms | slowest ms | MiB/s |\n"
        << "|---|---:|---:|---:|---:|---:|\n";
  const std::string path = dir + "/parse.reg";
  for (const SettingsFile& file : SettingsFiles()) {
    std::ofstream(path, std::ios::trunc | std::ios::binary) << file.text;
    size_t keys = 0;
    std::vector<double> samples;
    for (int round = 0; round < rounds; ++round) {
      const auto start = Clock::now();
      keys = qbhive::LoadHive(path).Keys().size();
      samples.push_back(Micros(Clock::now() - start) / 1000);
    }
    const double median = Median(samples);
    table << "| " << file.what << " | " << file.text.size() << " | " << keys << " | " << Fixed(median, 1) << " | "
          << Fixed(*std::max_element(samples.begin(), samples.end()), 1) << " | "
          << Fixed(static_cast<double>(file.text.size()) / (1 << 20) / (median / 1000), 0) << " |\n";
  }
  return table.str();
}

// ---- Drawing ----

struct Series {
  std::string title;
  const std::vector<double>* samples;
};

double Percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

// Writes each series as its cumulative distribution (latency, fraction of
// connects at or below it) and returns gnuplot's plot command for them.
std::string PlotCommand(const std::string& dir, const std::string& name, const std::vector<Series>& series) {
  std::string command = "plot ";
  for (size_t k = 0; k < series.size(); ++k) {
    std::vector<double> sorted = *series[k].samples;
    std::sort(sorted.begin(), sorted.end());
    const std::string file = dir + "/" + name + std::to_string(k) + ".dat";
    std::ofstream out(file);
    for (size_t i = 0; i < sorted.size(); ++i) {
      out << sorted[i] << ' ' << static_cast<double>(i + 1) / static_cast<double>(sorted.size()) << '\n';
    }
    command += (k ? ", '" : "'") + file + "' using 1:2 with steps lw 2 title '" + series[k].title + "'";
  }
  return command + "\n";
}

// One panel per path, on a logarithmic axis (the body of a few tens of µs
// and the stalls of a loaded machine both show) from a little below the
// fastest sample to a little past the slowest client's 99th percentile.
std::string Panel(const std::string& dir, const std::string& name, const std::string& title,
                  const std::vector<Series>& series) {
  double left = 1e300, right = 0;
  for (const Series& one : series) {
    left = std::min(left, Percentile(*one.samples, 0));
    right = std::max(right, Percentile(*one.samples, 0.99));
  }
  return "set title '" + title + "'\nset xrange [" + Fixed(left * 0.9, 1) + ":" + Fixed(right * 1.2, 0) + "]\n" +
         PlotCommand(dir, name, series);
}

// Draws the latency distributions with gnuplot; false when it failed.
bool DrawLatencies(const std::string& dir, const std::string& png, const std::string& machine,
                   const std::vector<Series>& socks5, const std::vector<Series>& direct) {
  const std::string script = dir + "/latency.gp";
  std::ofstream out(script);
  out << "set terminal pngcairo size 1200,520 font 'DejaVu Sans,11'\n"
      << "set output '" << png << "'\n"
      << "set multiplot layout 1,2 title \"Connect latency on loopback, " << socks5[0].samples->size()
      << " connects of each client, interleaved\\n{/*0.8 " << machine << "}\"\n"
      << "set xlabel 'latency of one connect (µs, logarithmic)'\n"
      << "set logscale x\nset grid xtics ytics\n"
      << "set xtics (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000)\n"
      << "set ylabel 'fraction of connects at or below'\n"
      << "set yrange [0:1]\nset key bottom right\n"
      << "set arrow 1 from graph 0, first 0.5 to graph 1, first 0.5 nohead dt 3 lc rgb 'gray40'\n"
      << Panel(dir, "socks5-", "SOCKS5 connect through microsocks", socks5)
      << Panel(dir, "direct-", "direct connect (proxy off)", direct) << "unset multiplot\n";
  out.close();
  return std::system(("gnuplot '" + script + "'").c_str()) == 0;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Die(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--connects") options.connects = std::stoi(next());
    else if (arg == "--mib") options.mib = std::stoul(next());
    else if (arg == "--rounds") options.rounds = std::stoi(next());
    else if (arg == "--exchanges") options.exchanges = std::stoi(next());
    else if (arg == "--no-budget") options.budget = false;
    else if (arg == "--out") options.out = next();
    else if (arg == "--parse-only") options.parse_only = true;
    else if (arg == "--tools-only") options.tools_only = true;
    else if (arg == "--python-only") options.python_only = true;
    else if (arg == "--connect-only") options.connect_only = true;
    else Die("unknown argument " + arg);
  }
  return options;
}

// ---- The phases ----

// The class library's socket layer with the empty receives and polls
// counted, and libcurl's.
void StartSocketLayers() {
  if (!AfxSocketInit()) Die("AfxSocketInit failed");
  g_systemCalls.recv.store(&qbtest::CountingRecv);
  g_systemCalls.poll.store(&qbtest::CountingPoll);
  curl_global_init(CURL_GLOBAL_DEFAULT);
}

// What the phases share: the options, the settings, the servers, and the
// rows of the measurements table as they come.
struct Bench {
  const Options& options;
  BenchHive& hive;
  uint16_t target;
  uint16_t proxy;
  std::vector<Row> rows;
  std::vector<ToolRow> tool_rows;
  std::string python_peers;  // 7's table, as bench/python_peers.py printed it
};

// One connect path: each client's samples in µs (CSocks's first), what
// CSocks asked of the system, and the raw client's fixed calls.
struct ConnectRun {
  const char* path;
  std::vector<std::vector<double>> samples;
  Tally tally;
  unsigned raw_calls;
};

// The same CSocks sample serves both connect measurements; the settings
// decide whether it goes through the proxy. Its calls and allocations are
// counted from construction to destruction, outside the timed part.
Clock::duration TimeCSocksConnect(uint16_t target, Tally* tally) {
  const Counters before = Counters::Now();
  Clock::duration took;
  {
    const auto start = Clock::now();
    CSocks socks;
    CSocksConnect(socks, target);
    took = Clock::now() - start;
    socks.Close();
  }
  if (tally != nullptr) tally->Add(Counters::Now() - before);
  return took;
}

// `connect` timed up to its connection; `close` runs outside the sample.
template <typename Connect, typename Close>
Clock::duration TimeConnect(Connect connect, Close close) {
  const auto start = Clock::now();
  const auto connection = connect();
  const auto took = Clock::now() - start;
  close(connection);
  return took;
}

// The C entry's forms, timed last in every round, in this order.
constexpr Clock::duration (*kCForms[])(uint16_t) = {TimeCEntry, TimeCEntryEx, TimeCallerDriven, TimeCallback};
constexpr size_t kCFormCount = std::size(kCForms);
constexpr const char* kCFormNames[kCFormCount] = {"qbsocks_connect", "qbsocks_connect_ex",
                                                  "caller-driven (start, poll(2), finish)",
                                                  "callback (qbsocks_connect_async)"};

// One connect path's rounds: CSocks, then `others` (the raw client first),
// then the C entry's forms, each sample in µs into the run.
ConnectRun MeasureConnects(Bench& bench, ConnectRun run, std::vector<std::function<Clock::duration()>> others) {
  // The first read of settled settings parses them, in CSocks and in the C
  // module (which keeps a parsed copy of its own): outside the samples.
  TimeCSocksConnect(bench.target, nullptr);
  TimeCEntry(bench.target);
  TimeCEntryEx(bench.target);
  TimeCallerDriven(bench.target);
  TimeCallback(bench.target);
  others.insert(others.begin(), [&] { return TimeCSocksConnect(bench.target, &run.tally); });
  for (auto* form : kCForms) others.push_back([&bench, form] { return form(bench.target); });
  run.samples = Interleaved(bench.options.connects, others);
  return run;
}

// The C entry's rows of a path: qbsocks_connect's median against the raw
// client's and against CSocks's; qbsocks_connect_ex's also against
// qbsocks_connect's, which it may exceed by at most 2 % (it records the
// facts, and formats nothing more, on the way to success).
void AddCEntryRows(Bench& bench, const std::string& path, const ConnectRun& run) {
  const size_t first = run.samples.size() - kCFormCount;
  const double c = Median(run.samples.front()), r = Median(run.samples[1]);
  const double e = Median(run.samples[first]), x = Median(run.samples[first + 1]);
  bench.rows.push_back({"qbsocks_connect " + path + ", median us", Fixed(e, 1), Fixed(r, 1), "", Fixed(e / r, 3), "",
                        "<= 1.05 CSocks", e / c <= 1.05, Fixed(e / c, 3)});
  bench.rows.push_back({"qbsocks_connect_ex " + path + ", median us", Fixed(x, 1), Fixed(r, 1), "", Fixed(x / r, 3),
                        "", "<= 1.02 qbsocks_connect", x / e <= 1.02, Fixed(x / c, 3), Fixed(x / e, 3)});
}

// 1. SOCKS5 connect: CSocks, the raw client, libcurl and the C entry.
ConnectRun MeasureSocks5Connect(Bench& bench) {
  const std::string proxy_url = "socks5h://127.0.0.1:" + std::to_string(bench.proxy);
  const std::string target_url = "http://127.0.0.1:" + std::to_string(bench.target) + "/";
  bench.hive.UseProxy(1, bench.proxy);
  std::cerr << "1/7 SOCKS5 connect, " << bench.options.connects << " of each, interleaved\n";
  const ConnectRun run = MeasureConnects(
      bench, {"SOCKS5 connect", {}, Tally{qbtest::kSocks5ConnectFloor.Total()}, 7},
      {[&] { return TimeConnect([&] { return RawSocks5Connect(bench.proxy, bench.target); }, close); },
       [&] { return TimeConnect([&] { return CurlConnect(proxy_url, target_url); }, curl_easy_cleanup); }});
  const double c = Median(run.samples[0]), r = Median(run.samples[1]), l = Median(run.samples[2]);
  bench.rows.push_back({"SOCKS5 connect, median us", Fixed(c, 1), Fixed(r, 1), Fixed(l, 1), Fixed(c / r, 3),
                        Fixed(c / l, 3), "<= 1.06 raw, <= 0.75 libcurl", c / r <= 1.06 && c / l <= 0.75});
  AddCEntryRows(bench, "SOCKS5", run);
  return run;
}

// 2. The direct path (proxy off): CSocks, a raw connect and the C entry.
ConnectRun MeasureDirect(Bench& bench) {
  bench.hive.UseProxy(0, bench.proxy);
  std::cerr << "2/7 direct connect, " << bench.options.connects << " of each, interleaved\n";
  const ConnectRun run =
      MeasureConnects(bench, {"direct connect", {}, Tally{qbtest::kDirectConnectFloor.Total()}, 3},
                      {[&] { return TimeConnect([&] { return RawConnect(bench.target); }, close); }});
  const double c = Median(run.samples[0]), r = Median(run.samples[1]);
  bench.rows.push_back(
      {"direct connect, median us", Fixed(c, 1), Fixed(r, 1), "", Fixed(c / r, 3), "", "<= 1.45 raw", c / r <= 1.45});
  AddCEntryRows(bench, "direct", run);
  return run;
}

// One throughput run after the handshake: the command byte, then `bytes`
// received ('D') or sent ('U') in chunks of `buffer`, and for 'U' the
// target's acknowledgement.
struct Transfer {
  uint16_t target;
  char command;
  size_t bytes;
  std::vector<char>& buffer;
};

// Moves the transfer's bytes with `step` (a receive or a send of up to n
// bytes, answering how many it moved); fails with `failure` on none.
template <typename Step>
void MoveAll(const Transfer& t, Step step, const char* failure) {
  for (size_t left = t.bytes; left > 0;) {
    const auto done = step(t.buffer.data(), std::min(left, t.buffer.size()));
    if (done <= 0) Die(failure);
    left -= static_cast<size_t>(done);
  }
}

Clock::duration CSocksTransfer(const Transfer& t) {
  CSocks socks;
  CSocksConnect(socks, t.target);
  const auto start = Clock::now();
  if (socks.Send(&t.command, 1) != 1) Die("CSocks::Send failed");
  MoveAll(
      t,
      [&](char* data, size_t n) {
        return t.command == 'D' ? socks.Receive(data, static_cast<int>(n)) : socks.Send(data, static_cast<int>(n));
      },
      "CSocks transfer failed");
  char ack;
  if (t.command == 'U' && socks.Receive(&ack, 1) != 1) Die("no acknowledgement");
  return Clock::now() - start;
}

Clock::duration RawTransfer(uint16_t proxy, const Transfer& t) {
  const int fd = RawSocks5Connect(proxy, t.target);
  const auto start = Clock::now();
  RawSendAll(fd, &t.command, 1);
  MoveAll(
      t,
      [&](char* data, size_t n) { return t.command == 'D' ? recv(fd, data, n, 0) : send(fd, data, n, MSG_NOSIGNAL); },
      "raw transfer failed");
  char ack;
  if (t.command == 'U') RawReceiveAll(fd, &ack, 1);
  const auto took = Clock::now() - start;
  close(fd);
  return took;
}

// 3. Throughput through the proxy, both directions: Receive vs recv, Send vs send.
void MeasureThroughput(Bench& bench) {
  bench.hive.UseProxy(1, bench.proxy);
  const size_t mib = bench.options.mib;
  const size_t bytes = mib * 1024 * 1024;
  BulkTarget bulk(bytes);
  std::cerr << "3/7 throughput, " << mib << " MiB each way, " << bench.options.rounds << " rounds\n";
  std::vector<char> buffer(kChunk, 'y');
  for (char command : {'D', 'U'}) {
    const Transfer transfer{bulk.port(), command, bytes, buffer};
    auto runs = Interleaved(bench.options.rounds, {[&] { return CSocksTransfer(transfer); },
                                                   [&] { return RawTransfer(bench.proxy, transfer); }});
    const double c = Median(runs[0]), r = Median(runs[1]);
    const double mib_s = static_cast<double>(mib) / (c / 1e6);
    const double raw_mib_s = static_cast<double>(mib) / (r / 1e6);
    bench.rows.push_back({std::string(command == 'D' ? "receive" : "send") + " through proxy, MiB/s", Fixed(mib_s, 0),
                          Fixed(raw_mib_s, 0), "", Fixed(c / r, 3), "", "<= 1.05 raw (time)", c / r <= 1.05});
  }
}

// 4. The budget against a proxy that accepts and never answers: a socket
// that listens and is never accepted from (the kernel completes the
// handshake on its own).
void MeasureBudget(Bench& bench) {
  std::cerr << "4/7 ten-second budget against a silent proxy\n";
  uint16_t silent_port = 0;
  const int silent = ListenOnLoopback(4, &silent_port, "cannot listen for the silent proxy");
  bench.hive.UseProxy(1, silent_port);
  CSocks socks;
  if (!socks.Create()) Die("CSocks::Create failed");
  const auto start = Clock::now();
  const int result = socks.Connect("127.0.0.1", bench.target);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(silent);
  if (result != 0) Die("Connect to a silent proxy succeeded");
  bench.rows.push_back({"silent proxy, s to failure", Fixed(seconds, 3), "", "", "", "", "10.0 to 10.2 s",
                        seconds >= 10.0 && seconds <= 10.2});
}

// ---- 6. qbsocks-cat beside the proxy commands an ssh user would pick ----

constexpr size_t kToolDownloadBytes = 16 << 20;

// Each proxy command as ssh's ProxyCommand would name it, "{proxy}" and
// "{target}" standing for the ports. qbsocks-cat finds the proxy in the
// bench's settings; the others are told it.
struct ProxyCommand {
  const char* name;
  std::vector<std::string> argv;
};

const std::vector<ProxyCommand> kProxyCommands = {
    {"qbsocks-cat", {QBSOCKS_CAT, "127.0.0.1", "{target}"}},
    {"connect-proxy", {"connect-proxy", "-S", "127.0.0.1:{proxy}", "127.0.0.1", "{target}"}},
    {"ncat", {"ncat", "--proxy", "127.0.0.1:{proxy}", "--proxy-type", "socks5", "127.0.0.1", "{target}"}},
};

std::vector<std::string> CommandLine(const ProxyCommand& command, uint16_t proxy, uint16_t target) {
  std::vector<std::string> argv = command.argv;
  for (std::string& arg : argv) {
    for (const auto& [name, port] : {std::pair{"{proxy}", proxy}, std::pair{"{target}", target}}) {
      const size_t at = arg.find(name);
      if (at != std::string::npos) arg.replace(at, std::strlen(name), std::to_string(port));
    }
  }
  return argv;
}

// A proxy command running as ssh runs one: its standard input and output
// are pipes of ours, its standard error is ours.
class ToolProcess {
 public:
  explicit ToolProcess(const std::vector<std::string>& argv) : name_(argv[0]) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Die("pipe: " + std::string(strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int failed = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (failed != 0) Die("cannot start " + name_ + ": " + strerror(failed) + " (bench/setup.sh installs it)");
    input_ = in[1];
    output_ = out[0];
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  void Write(const char* data, size_t size) {
    if (write(input_, data, size) != static_cast<ssize_t>(size)) Die(name_ + ": cannot write its input");
  }
  // One read of its output, 0 at its end.
  size_t Read(char* data, size_t size) {
    ssize_t n;
    do n = read(output_, data, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) Die(name_ + ": cannot read its output");
    return static_cast<size_t>(n);
  }
  void ReadExactly(char* data, size_t size) {
    for (size_t n; size > 0; data += n, size -= n) {
      if ((n = Read(data, size)) == 0) Die(name_ + ": its output ended early");
    }
  }
  // Ends its input, as ssh does at the session's end, and waits for its
  // output to end (nothing more in it) and for its exit with status 0.
  void Finish() {
    close(input_);
    char extra;
    if (Read(&extra, 1) != 0) Die(name_ + ": more output than was sent");
    close(output_);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      Die(name_ + " failed (status " + std::to_string(status) + ")");
  }

 private:
  std::string name_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

// Start, connect, 4 bytes each way, end: what a short ssh session pays the
// proxy command. From the start to the reaped exit.
Clock::duration TimeExchange(const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  ToolProcess tool(argv);
  tool.Write("ping", 4);
  char echoed[4];
  tool.ReadExactly(echoed, sizeof(echoed));
  if (std::memcmp(echoed, "ping", 4) != 0) Die(argv[0] + ": the echo differs");
  tool.Finish();
  return Clock::now() - start;
}

// The relay's rate on a download of 16 MiB from the bulk target, timed
// from the first bytes out of the tool to the last, so that its start-up
// and connect (the exchange's business) stay out; the time given is the
// whole download's at that rate. The input stays open until the last byte
// (microsocks ends both directions at the first end of stream).
Clock::duration TimeDownload(const std::vector<std::string>& argv, std::vector<char>& buffer) {
  ToolProcess tool(argv);
  tool.Write("D", 1);
  const size_t first = tool.Read(buffer.data(), buffer.size());
  const auto start = Clock::now();
  for (size_t left = kToolDownloadBytes - first, n; left > 0; left -= n) {
    if ((n = tool.Read(buffer.data(), std::min(left, buffer.size()))) == 0) Die(argv[0] + ": download cut short");
  }
  const auto took = Clock::now() - start;
  tool.Finish();
  const double whole = static_cast<double>(kToolDownloadBytes) / static_cast<double>(kToolDownloadBytes - first);
  return std::chrono::duration_cast<Clock::duration>(took * whole);
}

std::vector<double> Medians(const std::vector<std::vector<double>>& samples) {
  std::vector<double> medians;
  for (const auto& one : samples) medians.push_back(Median(one));
  return medians;
}

// 6. The short exchange against the echo target and the download against a
// bulk target, each proxy command in turn (the order rotating every round).
void MeasureProxyCommands(Bench& bench) {
  bench.hive.UseProxy(1, bench.proxy);
  BulkTarget bulk(kToolDownloadBytes);
  std::vector<char> buffer(kChunk);
  std::vector<std::function<Clock::duration()>> exchanges, downloads;
  for (const ProxyCommand& command : kProxyCommands) {
    exchanges.push_back([argv = CommandLine(command, bench.proxy, bench.target)] { return TimeExchange(argv); });
    downloads.push_back(
        [&buffer, argv = CommandLine(command, bench.proxy, bulk.port())] { return TimeDownload(argv, buffer); });
  }
  const int download_rounds = 3 * bench.options.rounds;
  std::cerr << "6/7 qbsocks-cat, connect-proxy, ncat: " << bench.options.exchanges << " short exchanges and "
            << download_rounds << " downloads of 16 MiB each, interleaved\n";
  // One of each outside the samples: the programs come into the page
  // cache, and a missing one stops the run here.
  for (const auto& exchange : exchanges) exchange();
  std::vector<double> exchange_ms = Medians(Interleaved(bench.options.exchanges, exchanges));
  for (double& ms : exchange_ms) ms /= 1000;
  std::vector<double> download_mib_s = Medians(Interleaved(download_rounds, downloads));
  for (double& rate : download_mib_s) rate = static_cast<double>(kToolDownloadBytes >> 20) / (rate / 1e6);
  bench.tool_rows.push_back(
      {"short exchange (start, connect, 4 bytes each way, end), median ms", exchange_ms, false, 2});
  bench.tool_rows.push_back({"download of 16 MiB, relay's rate, MiB/s", download_mib_s, true, 0});
}

// ---- 7. The Python binding beside python-socks and PySocks ----

// bench/python_peers.py, run with Debian's Python (where bench/setup.sh
// puts the peers) against the same microsocks and echo target; the binding
// loads the build's libqbsocks and reads the settings written here. Its
// table is kept as it printed it.
void MeasurePythonPeers(Bench& bench) {
  bench.hive.UseProxy(1, bench.proxy);
  setenv("QBSOCKS_LIBRARY", QBSOCKS_C_LIBRARY, 1);
  const std::string command = std::string("'") + QBSOCKS_BENCH_PYTHON + "' '" + QBSOCKS_PYTHON_PEERS + "' --proxy " +
                              std::to_string(bench.proxy) + " --target " + std::to_string(bench.target) +
                              " --connects " + std::to_string(bench.options.connects);
  std::cerr << "7/7 the Python binding, python-socks, PySocks: " << bench.options.connects
            << " connects and echoes of each, interleaved\n";
  FILE* peers = popen(command.c_str(), "r");
  if (peers == nullptr) Die("cannot run " + command);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), peers)) > 0;) bench.python_peers.append(buffer, n);
  if (pclose(peers) != 0) Die(command + " failed (bench/setup.sh installs the peers)");
}

// ---- The report ----

std::string MeasurementsTable(const std::vector<Row>& rows) {
  std::ostringstream table;
  table
      << "| measurement | CSocks (C entry) | raw | libcurl | /raw | /libcurl | C entry/CSocks | _ex/qbsocks_connect "
         "| target | met |\n"
      << "|---|---:|---:|---:|---:|---:|---:|---:|---|---|\n";
  for (const Row& row : rows) {
    table << "| " << row.what << " | " << row.csocks << " | " << row.raw << " | " << row.curl << " | "
          << row.ratio_raw << " | " << row.ratio_curl << " | " << row.ratio_csocks << " | " << row.ratio_centry
          << " | " << row.target << " | " << (row.met ? "yes" : "NO") << " |\n";
  }
  return table.str();
}

// qbsocks-cat's rows: each proxy command's figure, and qbsocks-cat's
// against the best peer's.
std::string ToolsTable(const std::vector<ToolRow>& rows) {
  std::ostringstream table;
  table << "| measurement |";
  for (const ProxyCommand& command : kProxyCommands) table << " " << command.name << " |";
  table << " qbsocks-cat/best peer | goal | met |\n|---|";
  for (size_t i = 0; i < kProxyCommands.size(); ++i) table << "---:|";
  table << "---:|---|---|\n";
  for (const ToolRow& row : rows) {
    const auto peers = row.figures.begin() + 1;
    const double best = row.higher_is_better ? *std::max_element(peers, row.figures.end())
                                             : *std::min_element(peers, row.figures.end());
    const double ours = row.figures.front();
    table << "| " << row.what << " |";
    for (double figure : row.figures) table << " " << Fixed(figure, row.decimals) << " |";
    table << " " << Fixed(ours / best, 3) << " | " << (row.higher_is_better ? ">=" : "<=") << " best peer | "
          << ((row.higher_is_better ? ours >= best : ours <= best) ? "yes" : "NO") << " |\n";
  }
  return table.str();
}

// What CSocks asked of the system per connect, beside the raw client's
// fixed calls (socket, connect, close; through SOCKS5 also two sends and
// two receives with MSG_WAITALL).
std::string CallsTable(int connects, const std::vector<const ConnectRun*>& runs) {
  std::ostringstream table;
  table << "\nSystem calls and allocations per CSocks connect (" << connects
        << " of each path; a reply not there when first read costs an empty receive and a poll):\n\n"
        << "| path | CSocks calls | by call | empty receives | poll slices run out | floor | raw client "
           "| allocations | connects above the floor |\n"
        << "|---|---:|---|---:|---:|---:|---:|---:|---:|\n";
  for (const ConnectRun* run : runs) {
    const Tally& t = run->tally;
    table << "| " << run->path << " | " << Fixed(t.PerConnect(t.sum.SystemCalls()), 2) << " | " << CallsByName(t)
          << " | " << Fixed(t.PerConnect(t.sum.empty_receives), 2) << " | "
          << Fixed(t.PerConnect(t.sum.empty_polls), 2) << " | " << t.floor << " | " << run->raw_calls << " | "
          << Fixed(t.PerConnect(t.sum.allocations), 2) << " | " << t.above_floor << " |\n";
  }
  return table.str();
}

// The C entry's forms in the same rounds: each one's median and spread, and
// the median against qbsocks_connect_ex's. Through SOCKS5 the forms no
// thread waits for may cost at most 5 % over it.
std::string CFormsTable(const std::vector<const ConnectRun*>& runs) {
  std::ostringstream table;
  table << "\nThe C entry's forms, in the same rounds (us):\n\n"
        << "| path | form | median | 10th to 90th percentile | /qbsocks_connect_ex | goal | met |\n"
        << "|---|---|---:|---:|---:|---|---|\n";
  for (const ConnectRun* run : runs) {
    const size_t first = run->samples.size() - kCFormCount;
    const double ex = Median(run->samples[first + 1]);
    for (size_t k = 1; k < kCFormCount; ++k) {
      const std::vector<double>& samples = run->samples[first + k];
      const double median = Median(samples);
      const bool goal = k > 1 && std::string(run->path) == "SOCKS5 connect";
      table << "| " << run->path << " | " << kCFormNames[k] << " | " << Fixed(median, 1) << " | "
            << Fixed(Percentile(samples, 0.1), 1) << " to " << Fixed(Percentile(samples, 0.9), 1) << " | "
            << Fixed(median / ex, 3) << " | " << (goal ? "<= 1.05 qbsocks_connect_ex" : "") << " | "
            << (goal ? (median / ex <= 1.05 ? "yes" : "NO") : "") << " |\n";
    }
  }
  return table.str();
}

// Both connect paths' latency distributions, each client a line.
bool DrawConnects(const std::string& dir, const std::string& png, const ConnectRun& socks5, const ConnectRun& direct,
                  const std::string& load_at_start) {
  return DrawLatencies(dir, png,
                       std::to_string(std::thread::hardware_concurrency()) + " CPUs, " + CpuModel() +
                           ", load average " + load_at_start + " at the start, " + LoadAverage() + " at the end",
                       {{"CSocks", &socks5.samples[0]},
                        {"raw client", &socks5.samples[1]},
                        {"libcurl", &socks5.samples[2]},
                        {"qbsocks_connect", &socks5.samples[3]},
                        {"qbsocks_connect_ex", &socks5.samples[4]},
                        {"caller-driven", &socks5.samples[5]},
                        {"callback", &socks5.samples[6]}},
                       {{"CSocks", &direct.samples[0]},
                        {"raw connect", &direct.samples[1]},
                        {"qbsocks_connect", &direct.samples[2]},
                        {"qbsocks_connect_ex", &direct.samples[3]},
                        {"caller-driven", &direct.samples[4]},
                        {"callback", &direct.samples[5]}});
}

// 5's table and the others, printed and written to --out with the picture
// beside it; false when the picture could not be drawn or a connect went
// above its floor.
bool WriteReport(const Bench& bench, const ConnectRun& socks5, const ConnectRun& direct,
                 const std::string& settings_reads, const std::string& load_at_start) {
  const Options& options = bench.options;
  std::ostringstream table;
  table << "Machine: " << Machine(load_at_start) << "\n\n"
        << "Connects: " << options.connects << " of each client (medians); throughput: " << options.mib
        << " MiB each way, median of " << options.rounds << " runs.\n\n"
        << MeasurementsTable(bench.rows) << CFormsTable({&socks5, &direct})
        << CallsTable(options.connects, {&socks5, &direct})
        << "\nqbsocks-cat beside connect-proxy and ncat, run as ssh's ProxyCommand through the same microsocks ("
        << options.exchanges << " short exchanges and " << 3 * options.rounds << " downloads of each, medians):\n\n"
        << ToolsTable(bench.tool_rows)
        << "\nThe Python binding beside python-socks and PySocks, through the same microsocks:\n\n"
        << bench.python_peers
        << "\nReading a settings file (qbhive::LoadHive, as a connect does when the file has changed; median of "
        << std::max(options.rounds, 5) << "):\n\n"
        << settings_reads;
  const bool at_floor = socks5.tally.above_floor == 0 && direct.tally.above_floor == 0;

  const std::string results_dir = std::filesystem::path(options.out).parent_path().string();
  const std::string png = (results_dir.empty() ? "." : results_dir) + "/latency.png";
  table << "\n![Latency distributions of the connects](latency.png)\n";
  const bool drawn = DrawConnects(bench.hive.Dir(), png, socks5, direct, load_at_start);

  std::cout << table.str();
  std::ofstream out(options.out, std::ios::trunc);
  out << "# qbsocks_bench: latest results\n\n" << table.str();
  if (!out.flush()) Die("cannot write " + options.out);
  std::cerr << "written to " << options.out << (drawn ? " and " + png : "") << "\n";
  if (!drawn) std::cerr << "qbsocks_bench: gnuplot could not draw " << png << " (bench/setup.sh installs it)\n";
  if (!at_floor) std::cerr << "qbsocks_bench: CSocks made more system calls than the floor\n";
  return drawn && at_floor;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  const std::string load_at_start = LoadAverage();
  if (options.parse_only) {
    BenchHive hive;
    std::cout << MeasureSettingsReads(hive.Dir(), std::max(options.rounds, 5));
    return 0;
  }
  StartSocketLayers();
  BenchHive hive;
  qbtest::EchoServer target;
  std::unique_ptr<qbtest::ProxyProcess> proxy;
  try {
    proxy = qbtest::StartMicrosocks();
  } catch (const std::exception& e) {
    Die(e.what());
  }
  Bench bench{options, hive, target.port(), proxy->port(), {}, {}, {}};
  if (options.tools_only) {
    MeasureProxyCommands(bench);
    std::cout << "Machine: " << Machine(load_at_start) << "\n\n" << ToolsTable(bench.tool_rows);
    return 0;
  }
  if (options.python_only) {
    MeasurePythonPeers(bench);
    std::cout << "Machine: " << Machine(load_at_start) << "\n\n" << bench.python_peers;
    return 0;
  }
  const ConnectRun socks5 = MeasureSocks5Connect(bench);
  const ConnectRun direct = MeasureDirect(bench);
  if (options.connect_only) {
    std::cout << "Machine: " << Machine(load_at_start) << "\n\n"
              << MeasurementsTable(bench.rows) << CFormsTable({&socks5, &direct})
              << CallsTable(options.connects, {&socks5, &direct});
    return 0;
  }
  MeasureThroughput(bench);
  if (options.budget) MeasureBudget(bench);
  std::cerr << "5/7 reading settings files of 1 MiB and more\n";
  const std::string settings_reads = MeasureSettingsReads(hive.Dir(), std::max(options.rounds, 5));
  MeasureProxyCommands(bench);
  MeasurePythonPeers(bench);
  const bool passed = WriteReport(bench, socks5, direct, settings_reads, load_at_start);
  curl_global_cleanup();
  return passed ? 0 : 1;
}
