// Thousands of connects at once: what the C interface's three ways of
// connecting cost in threads, memory and CPU when a program has many.
//
//   1. N connects at once (1,000, 5,000, 10,000) through a proxy that holds
//      each of its two SOCKS5 replies 100 ms, as one across a WAN would:
//      the callback form (qbsocks_connect_async), the caller-driven form
//      (qbsocks_connect_start, _poll, _finish) driven by one epoll loop of
//      the bench's, and qbsocks_connect_ex on a thread per connect (what
//      the bindings' asynchronous connects had to do): wall time, the most
//      threads, peak memory, failures.
//   2. 1,000 connects waiting on a proxy that accepts and never answers,
//      each form: the process's CPU over 5 s, as a share of one core.
//   3. N callback-form connects at once (1,000, 10,000) through the same
//      proxy given by its address and by a name whose every lookup takes
//      50 ms (a stand-in getaddrinfo, slow_lookups.cpp, LD_PRELOADed into
//      both rows alike), the two rows taking turns: the wall of each, the
//      one over the other, the library's threads at most and the lookups
//      made.
//
// The proxy is a process of its own (this program, started with --proxy):
// one thread on epoll, answering every CONNECT itself and then echoing, so
// that the figures are the client's alone. Each row runs in a fresh process
// too (--row), so that its peak memory and its threads are its own.
//
//   qbsocks_bench_many [--sizes 1000,5000,10000] [--thread-sizes 1000,5000]
//                      [--silent N] [--silent-seconds S] [--hold-ms MS]
//                      [--named-sizes 1000,10000] [--named-rounds 5]
//                      [--lookup-ms 50] [--open-files N]
//
// "--sizes ''" leaves out 1, "--silent 0" leaves out 2, "--named-sizes ''"
// leaves out 3. "--open-files N" raises the hard limit of open files to N
// where the process may (root): 10,000 connects may need more descriptors
// than a hard limit of 20,000.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "qbsocks.h"
#include "support/settings_hive.h"

namespace {

using qbbench::Clock;
using qbbench::Die;
using qbbench::Fixed;

// Every connect asks for this target; the proxy answers it itself.
constexpr const char* kTarget = "127.0.0.1";
constexpr unsigned kTargetPort = 7;
// A row that has not ended by then is stuck: its process is ended.
constexpr unsigned kRowLimitSeconds = 180;

// ---- The proxy: one thread on epoll, a process of its own ----

// One client of the proxy, indexed by its descriptor.
struct ProxyClient {
  enum State : uint8_t { kFree, kOffer, kHoldChoice, kRequest, kHoldReply, kEcho, kSilent };
  State state = kFree;
  uint32_t serial = 0;  // which client this is, so that a hold outlives no reuse of the descriptor
  uint16_t have = 0;
  uint8_t bytes[300];
};

// A reply held back until `due`.
struct Hold {
  Clock::time_point due;
  int fd;
  uint32_t serial;
};

class SlowProxy {
 public:
  SlowProxy(int listener, int silent, int control, int hold_ms)
      : listener_(listener), silent_(silent), control_(control), hold_(hold_ms), clients_(DescriptorLimit()) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : {listener_, silent_, control_}) Watch(fd);
    for (int fd : {listener_, silent_}) fcntl(fd, F_SETFL, O_NONBLOCK);  // accepts until none is left
  }

  [[noreturn]] void Run() {
    epoll_event events[1024];
    for (;;) {
      const int n = epoll_wait(epoll_, events, 1024, MillisToNextHold());
      for (int k = 0; k < n; ++k) {
        const int fd = events[k].data.fd;
        if (fd == control_) std::exit(0);  // the bench ended
        if (fd == listener_ || fd == silent_) Accept(fd);
        else Read(fd);
      }
      for (const auto now = Clock::now(); !holds_.empty() && holds_.front().due <= now; holds_.pop_front()) {
        Answer(holds_.front());
      }
    }
  }

 private:
  static size_t DescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<size_t>(limit.rlim_cur);
  }

  void Watch(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  // Holds are queued in the order they fall due (all are as long).
  int MillisToNextHold() const {
    if (holds_.empty()) return -1;
    const auto left = holds_.front().due - Clock::now();
    return std::max<int>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }

  void Accept(int listener) {
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
      if (static_cast<size_t>(fd) >= clients_.size()) {
        close(fd);
        continue;
      }
      clients_[fd] = ProxyClient{listener == silent_ ? ProxyClient::kSilent : ProxyClient::kOffer, ++serial_, 0, {}};
      Watch(fd);
    }
  }

  // The bytes the message being read needs: the method offer (VER NMETHODS
  // METHODS) or the request (VER CMD RSV ATYP ADDR PORT); 0 while unknown.
  static size_t Needed(const ProxyClient& c) {
    if (c.state == ProxyClient::kOffer) return c.have < 2 ? 0 : 2u + c.bytes[1];
    if (c.have < 5) return 0;
    switch (c.bytes[3]) {
      case 1: return 10;
      case 3: return 7u + c.bytes[4];
      case 4: return 22;
      default: return SIZE_MAX;  // not a request of ours: closed
    }
  }

  void Read(int fd) {
    ProxyClient& c = clients_[fd];
    uint8_t buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return Close(fd);
    if (c.state == ProxyClient::kEcho) {
      send(fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);  // a few bytes: they fit
      return;
    }
    if (c.state != ProxyClient::kOffer && c.state != ProxyClient::kRequest) return;  // silent, or held
    const size_t take = std::min(static_cast<size_t>(n), sizeof(c.bytes) - c.have);
    std::memcpy(c.bytes + c.have, buffer, take);
    c.have = static_cast<uint16_t>(c.have + take);
    const size_t needed = Needed(c);
    if (needed == SIZE_MAX || needed > sizeof(c.bytes)) return Close(fd);
    if (needed == 0 || c.have < needed) return;
    c.state = c.state == ProxyClient::kOffer ? ProxyClient::kHoldChoice : ProxyClient::kHoldReply;
    c.have = 0;
    holds_.push_back({Clock::now() + hold_, fd, c.serial});
  }

  // The held reply: no authentication chosen, or the CONNECT granted (bound
  // to 0.0.0.0:0); after it, the proxy echoes.
  void Answer(const Hold& hold) {
    ProxyClient& c = clients_[hold.fd];
    if (c.serial != hold.serial) return;  // closed meanwhile
    static const uint8_t kChoice[] = {5, 0};
    static const uint8_t kGranted[] = {5, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    const bool choice = c.state == ProxyClient::kHoldChoice;
    const size_t size = choice ? sizeof(kChoice) : sizeof(kGranted);
    if (send(hold.fd, choice ? kChoice : kGranted, size, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(size)) {
      return Close(hold.fd);
    }
    c.state = choice ? ProxyClient::kRequest : ProxyClient::kEcho;
  }

  void Close(int fd) {
    clients_[fd] = ProxyClient{};
    close(fd);
  }

  int listener_, silent_, control_;
  std::chrono::milliseconds hold_;
  int epoll_ = -1;
  uint32_t serial_ = 0;
  std::vector<ProxyClient> clients_;
  std::deque<Hold> holds_;
};

// Starts this program as the proxy (--proxy) on two listeners of the
// bench's: one that answers after the hold, one that never answers. It ends
// when the bench does (its end of the control pipe closes).
class ProxyProcess {
 public:
  explicit ProxyProcess(int hold_ms) {
    const int slow = qbbench::ListenOnLoopback(SOMAXCONN, &slow_port_, "the proxy cannot listen");
    const int silent = qbbench::ListenOnLoopback(SOMAXCONN, &silent_port_, "the silent proxy cannot listen");
    int control[2];
    if (pipe2(control, O_CLOEXEC) != 0) Die("pipe: " + std::string(strerror(errno)));
    for (int fd : {slow, silent, control[0]}) fcntl(fd, F_SETFD, 0);  // the proxy's
    const std::vector<std::string> args = {"--proxy", std::to_string(hold_ms), std::to_string(slow),
                                           std::to_string(silent), std::to_string(control[0])};
    pid_ = Spawn(args, -1, {});
    for (int fd : {slow, silent, control[0]}) close(fd);
    control_ = control[1];
  }
  ~ProxyProcess() {
    close(control_);
    waitpid(pid_, nullptr, 0);
  }
  uint16_t slow_port() const { return slow_port_; }
  uint16_t silent_port() const { return silent_port_; }

  // This program again with `args`, its standard output to `out` (-1: ours),
  // its environment ours with the variables of `variables` set.
  static pid_t Spawn(const std::vector<std::string>& args, int out,
                     const std::map<std::string, std::string>& variables) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    std::vector<std::string> argv = {"/proc/self/exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      const std::string entry = *variable;
      if (variables.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
    }
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    std::vector<char*> environment_pointers;
    for (std::string& entry : environment) environment_pointers.push_back(entry.data());
    environment_pointers.push_back(nullptr);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, pointers.data(), environment_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) Die("cannot start myself: " + std::string(strerror(failed)));
    return pid;
  }

 private:
  uint16_t slow_port_ = 0, silent_port_ = 0;
  int control_ = -1;
  pid_t pid_ = -1;
};

// ---- What the process uses ----

// A line of /proc/self/status ("Threads", "VmHWM" in kB, ...), as a number.
long StatusField(const char* name) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = std::string(name) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

double MiB(long kib) { return static_cast<double>(kib) / 1024; }

// The most threads of the process while it lives (read from
// /proc/self/status every 2 ms), less the bench's main thread and its own.
class ThreadSampler {
 public:
  ThreadSampler()
      : thread_([this] {
          while (!stop_) {
            most_ = std::max(most_.load(), StatusField("Threads"));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  long Stop() {
    stop_ = true;
    thread_.join();
    return most_ - 2;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> most_{0};
  std::thread thread_;
};

struct Usage {
  double cpu_s;
  long switches;
  static Usage Now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto seconds = [](timeval t) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return {seconds(u.ru_utime) + seconds(u.ru_stime), u.ru_nvcsw + u.ru_nivcsw};
  }
};

// ---- The three ways of connecting, N at once ----

struct Ended {
  int result = QBSOCKS_IN_PROGRESS;
  uintptr_t socket = QBSOCKS_NO_HANDLE;
  std::string reason;
};

// N connects of one form: started at once, run until a time or their end.
class Connects {
 public:
  Connects(size_t n, const qbsocks_connect_options& options) : ended_(n), options_(options) {}
  virtual ~Connects() = default;
  virtual void StartAll() = 0;
  // Lets the connects go on until `until`; true when all have ended.
  virtual bool RunUntil(Clock::time_point until) = 0;
  // A cancel was triggered: the caller-driven form's loop polls every
  // connect (the library cannot wake a loop it does not own).
  virtual void Cancelled() {}
  // The caller-driven form's calls of qbsocks_connect_poll, 0 for the others.
  virtual unsigned long Polls() const { return 0; }
  const std::vector<Ended>& ended() const { return ended_; }

 protected:
  std::vector<Ended> ended_;
  qbsocks_connect_options options_;
};

// Connects that end on other threads (the library's, or one each): each
// end is counted, and the last wakes RunUntil.
class EndedElsewhere : public Connects {
 public:
  using Connects::Connects;
  bool RunUntil(Clock::time_point until) override {
    std::unique_lock<std::mutex> lock(mutex_);
    return all_ended_.wait_until(lock, until, [&] { return count_ == ended_.size(); });
  }

 protected:
  void End(size_t i, int result, uintptr_t socket, const char* reason) {
    ended_[i] = Ended{result, socket, result == QBSOCKS_OK ? "" : reason};
    std::lock_guard<std::mutex> lock(mutex_);
    if (++count_ == ended_.size()) all_ended_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_ended_;
  size_t count_ = 0;
};

// (a) qbsocks_connect_async: the library's one thread waits on them all.
class CallbackConnects : public EndedElsewhere {
 public:
  using EndedElsewhere::EndedElsewhere;
  void StartAll() override {
    slots_.resize(ended_.size());
    for (size_t i = 0; i < ended_.size(); ++i) {
      slots_[i] = {this, i};
      const int rc = qbsocks_connect_async(kTarget, kTargetPort, &options_, &CallbackConnects::OnEnded, &slots_[i]);
      if (rc != QBSOCKS_OK) End(i, rc, QBSOCKS_NO_HANDLE, "qbsocks_connect_async refused the connect");
    }
  }

 private:
  struct Slot {
    CallbackConnects* connects;
    size_t index;
  };
  static void QBSOCKS_CALL OnEnded(void* context, int result, uintptr_t socket, const qbsocks_outcome* outcome) {
    const Slot* slot = static_cast<Slot*>(context);
    slot->connects->End(slot->index, result, socket, outcome != nullptr ? outcome->reason : "(no outcome)");
  }
  std::vector<Slot> slots_;
};

// (c) qbsocks_connect_ex on a thread of its own per connect, as a program
// had to before the other forms came.
class ThreadConnects : public EndedElsewhere {
 public:
  using EndedElsewhere::EndedElsewhere;
  ~ThreadConnects() override {
    for (std::thread& thread : threads_) thread.join();
  }
  void StartAll() override {
    threads_.reserve(ended_.size());
    for (size_t i = 0; i < ended_.size(); ++i) {
      try {
        threads_.emplace_back([this, i] {
          uintptr_t socket = QBSOCKS_NO_HANDLE;
          qbsocks_outcome outcome{};
          outcome.size = sizeof(outcome);
          const int result = qbsocks_connect_ex(kTarget, kTargetPort, &options_, &socket, &outcome);
          End(i, result, socket, outcome.reason);
        });
      } catch (const std::system_error& e) {
        End(i, QBSOCKS_NO_SOCKET, QBSOCKS_NO_HANDLE, ("no thread for the connect: " + std::string(e.what())).c_str());
      }
    }
  }

 private:
  std::vector<std::thread> threads_;
};

// (b) qbsocks_connect_start, _poll and _finish, driven by one epoll loop:
// each connect is polled when the handle it named is ready or its
// deadline came, never otherwise.
class CallerDrivenConnects : public Connects {
 public:
  CallerDrivenConnects(size_t n, const qbsocks_connect_options& options)
      : Connects(n, options), connecting_(n, nullptr), watched_(n, -1), generation_(n, 0) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    owner_.assign(limit.rlim_cur, -1);
  }
  ~CallerDrivenConnects() override {
    for (size_t i = 0; i < connecting_.size(); ++i) End(i);  // gives up those still going
    close(epoll_);
  }

  void StartAll() override {
    for (size_t i = 0; i < connecting_.size(); ++i) {
      connecting_[i] = qbsocks_connect_start(kTarget, kTargetPort, &options_);
      if (connecting_[i] == nullptr)
        ended_[i] = Ended{QBSOCKS_NO_SOCKET, QBSOCKS_NO_HANDLE, "qbsocks_connect_start: no memory"};
      else ++active_;
      Advance(i);
    }
  }

  bool RunUntil(Clock::time_point until) override {
    epoll_event events[1024];
    while (active_ > 0) {
      const auto now = Clock::now();
      AdvanceDue(now);
      if (active_ == 0) break;
      if (now >= until) return false;
      const int n = epoll_wait(epoll_, events, 1024, MillisUntil(std::min(until, NextDeadline()), now));
      for (int k = 0; k < n; ++k) Advance(events[k].data.u32);
    }
    return true;
  }

  unsigned long Polls() const override { return polls_; }
  void Cancelled() override {
    for (size_t i = 0; i < connecting_.size(); ++i) Advance(i);
  }

 private:
  struct Deadline {
    Clock::time_point due;
    uint32_t index;
    uint32_t generation;
    bool operator>(const Deadline& o) const { return due > o.due; }
  };

  static int MillisUntil(Clock::time_point when, Clock::time_point now) {
    if (when == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
  }

  // The earliest deadline still meant (a newer wait of its connect voids it).
  Clock::time_point NextDeadline() {
    while (!deadlines_.empty() && deadlines_.top().generation != generation_[deadlines_.top().index])
      deadlines_.pop();
    return deadlines_.empty() ? Clock::time_point::max() : deadlines_.top().due;
  }

  void AdvanceDue(Clock::time_point now) {
    while (NextDeadline() <= now) {
      const uint32_t i = deadlines_.top().index;
      deadlines_.pop();
      Advance(i);
    }
  }

  void Advance(size_t i) {
    if (connecting_[i] == nullptr) return;
    qbsocks_wait wait{};
    ++polls_;
    if (qbsocks_connect_poll(connecting_[i], &wait) == QBSOCKS_IN_PROGRESS) return Watch(i, wait);
    End(i);
  }

  void Watch(size_t i, const qbsocks_wait& wait) {
    const int fd = static_cast<int>(wait.socket);
    if (watched_[i] != fd) Unwatch(i);
    epoll_event event{};
    event.events = wait.events == QBSOCKS_WAIT_READABLE ? EPOLLIN : EPOLLOUT;
    event.data.u32 = static_cast<uint32_t>(i);
    // A descriptor the library closed left the epoll set on its own; its
    // number may since name another socket.
    if (owner_[fd] == static_cast<long>(i)) {
      if (epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event) != 0) epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    } else if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
      epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
    }
    owner_[fd] = static_cast<long>(i);
    watched_[i] = fd;
    ++generation_[i];
    if (wait.timeout_ms != QBSOCKS_WAIT_FOREVER) {
      deadlines_.push(
          {Clock::now() + std::chrono::milliseconds(wait.timeout_ms), static_cast<uint32_t>(i), generation_[i]});
    }
  }

  void Unwatch(size_t i) {
    const int fd = watched_[i];
    if (fd >= 0 && owner_[fd] == static_cast<long>(i)) {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
      owner_[fd] = -1;
    }
    watched_[i] = -1;
    ++generation_[i];
  }

  // Ends connect i: its result, or given up while it was still going.
  void End(size_t i) {
    if (connecting_[i] == nullptr) return;
    Unwatch(i);
    Ended& ended = ended_[i];
    qbsocks_outcome outcome{};
    outcome.size = sizeof(outcome);
    ended.result = qbsocks_connect_finish(connecting_[i], &ended.socket, &outcome);
    if (ended.result != QBSOCKS_OK) ended.reason = outcome.reason;
    connecting_[i] = nullptr;
    --active_;
  }

  std::vector<qbsocks_connecting*> connecting_;
  std::vector<int> watched_;          // the descriptor each connect is watched by
  std::vector<uint32_t> generation_;  // of each connect's wait
  std::vector<long> owner_;           // the connect each descriptor is watched for
  std::priority_queue<Deadline, std::vector<Deadline>, std::greater<Deadline>> deadlines_;
  int epoll_ = -1;
  size_t active_ = 0;
  unsigned long polls_ = 0;
};

enum class Form { kCallback, kCallerDriven, kThreads };

const char* FormName(Form form) {
  switch (form) {
    case Form::kCallback: return "callback (qbsocks_connect_async)";
    case Form::kCallerDriven: return "caller-driven (start/poll/finish, one epoll loop)";
    case Form::kThreads: return "qbsocks_connect_ex, a thread each";
  }
  return "";
}

std::unique_ptr<Connects> MakeConnects(Form form, size_t n, const qbsocks_connect_options& options) {
  switch (form) {
    case Form::kCallback: return std::make_unique<CallbackConnects>(n, options);
    case Form::kCallerDriven: return std::make_unique<CallerDrivenConnects>(n, options);
    case Form::kThreads: return std::make_unique<ThreadConnects>(n, options);
  }
  return nullptr;
}

// ---- One row, in a process of its own ----

// What a row measured, one line on its standard output.
struct RowFigures {
  double wall_s = 0;
  long threads = 0;  // the most beyond the bench's own two (main, sampler)
  double peak_mib = 0;
  double start_mib = 0;
  size_t ended_as_expected = 0;
  size_t others = 0;
  double cpu_share = 0;
  long switches = 0;
  double polls_per_connect = 0;
  long lookups = -1;        // of the stand-in resolver's name; -1 when it is not loaded
  std::string first_other;  // the reason of the first connect that did not end as expected

  std::string Line() const {
    std::ostringstream line;
    line << wall_s << ' ' << threads << ' ' << peak_mib << ' ' << start_mib << ' ' << ended_as_expected << ' '
         << others << ' ' << cpu_share << ' ' << switches << ' ' << polls_per_connect << ' ' << lookups << ' '
         << first_other;
    return line.str();
  }
  static RowFigures Parse(const std::string& text) {
    RowFigures f;
    std::istringstream line(text);
    line >> f.wall_s >> f.threads >> f.peak_mib >> f.start_mib >> f.ended_as_expected >> f.others >> f.cpu_share >>
        f.switches >> f.polls_per_connect >> f.lookups;
    std::getline(line >> std::ws, f.first_other);
    return f;
  }
};

// Counts the connects that ended with `expected` (and, connected, echo);
// closes every socket handed over.
void Tally(const Connects& connects, int expected, RowFigures& f) {
  for (const Ended& e : connects.ended()) {
    bool as_expected = e.result == expected;
    if (e.result == QBSOCKS_OK) {
      const int fd = static_cast<int>(e.socket);
      char echoed[4] = {};
      as_expected = as_expected && send(fd, "ping", 4, MSG_NOSIGNAL) == 4 &&
                    recv(fd, echoed, sizeof(echoed), MSG_WAITALL) == 4 && std::memcmp(echoed, "ping", 4) == 0;
      close(fd);
      if (!as_expected && f.first_other.empty()) f.first_other = "connected, but the echo failed";
    }
    if (as_expected) {
      ++f.ended_as_expected;
    } else {
      ++f.others;
      if (f.first_other.empty()) f.first_other = std::to_string(e.result) + ": " + e.reason;
    }
  }
}

// The lookups the stand-in resolver made so far, when the row has it
// loaded (LD_PRELOAD); -1 otherwise.
long LookupsMade() {
  using Count = unsigned long (*)();
  const auto count = reinterpret_cast<Count>(dlsym(RTLD_DEFAULT, "qbsocks_bench_lookups_made"));
  return count == nullptr ? -1 : static_cast<long>(count());
}

// 1 and 3: N connects at once through the slow proxy, until the last has ended.
RowFigures ManyAtOnce(Form form, size_t n) {
  RowFigures f;
  f.start_mib = MiB(StatusField("VmRSS"));
  const qbsocks_connect_options options{sizeof(options), 0, nullptr};
  auto connects = MakeConnects(form, n, options);
  ThreadSampler sampler;
  const auto start = Clock::now();
  connects->StartAll();
  connects->RunUntil(Clock::time_point::max());
  f.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
  f.threads = sampler.Stop();
  f.lookups = LookupsMade();
  f.peak_mib = MiB(StatusField("VmHWM"));
  f.polls_per_connect = static_cast<double>(connects->Polls()) / static_cast<double>(n);
  Tally(*connects, QBSOCKS_OK, f);
  return f;
}

// 2: N connects waiting on the silent proxy: the process's CPU over
// `seconds`, after a second for them all to reach their wait; then a cancel
// ends them all.
RowFigures SilentWaits(Form form, size_t n, int seconds) {
  RowFigures f;
  f.start_mib = MiB(StatusField("VmRSS"));
  qbsocks_cancel* cancel = qbsocks_cancel_create();
  const qbsocks_connect_options options{sizeof(options), 0, cancel};
  auto connects = MakeConnects(form, n, options);
  connects->StartAll();
  connects->RunUntil(Clock::now() + std::chrono::seconds(1));
  f.threads = StatusField("Threads") - 1;  // no sampler here: it would cost CPU of its own
  const Usage before = Usage::Now();
  const auto start = Clock::now();
  const bool ended_early = connects->RunUntil(start + std::chrono::seconds(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const Usage after = Usage::Now();
  f.cpu_share = (after.cpu_s - before.cpu_s) / elapsed;
  f.switches = after.switches - before.switches;
  f.wall_s = elapsed;
  f.peak_mib = MiB(StatusField("VmHWM"));
  if (ended_early) f.first_other = "every connect ended before the cancel";
  qbsocks_cancel_trigger(cancel);
  connects->Cancelled();
  connects->RunUntil(Clock::time_point::max());
  f.polls_per_connect = static_cast<double>(connects->Polls()) / static_cast<double>(n);
  Tally(*connects, QBSOCKS_CANCELLED, f);
  connects.reset();
  qbsocks_cancel_destroy(cancel);
  return f;
}

int RunRow(const std::string& part, Form form, size_t n, int seconds) {
  alarm(kRowLimitSeconds);  // a form that never ends its connects ends the row
  const RowFigures f = part == "many" ? ManyAtOnce(form, n) : SilentWaits(form, n, seconds);
  std::cout << f.Line() << std::endl;
  return 0;
}

// ---- The driver ----

struct Options {
  std::vector<size_t> sizes = {1000, 5000, 10000};
  std::vector<size_t> thread_sizes = {1000, 5000};
  size_t silent = 1000;
  int silent_seconds = 5;
  int hold_ms = 100;
  std::vector<size_t> named_sizes = {1000, 10000};
  int named_rounds = 5;
  int lookup_ms = 50;
  rlim_t open_files = 0;  // 0: the hard limit as it is
};

std::vector<size_t> Sizes(const std::string& list) {
  std::vector<size_t> sizes;
  std::istringstream in(list);
  for (std::string one; std::getline(in, one, ',');) {
    if (!one.empty()) sizes.push_back(std::stoul(one));
  }
  return sizes;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Die(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--sizes") options.sizes = Sizes(next());
    else if (arg == "--thread-sizes") options.thread_sizes = Sizes(next());
    else if (arg == "--silent") options.silent = std::stoul(next());
    else if (arg == "--silent-seconds") options.silent_seconds = std::stoi(next());
    else if (arg == "--hold-ms") options.hold_ms = std::stoi(next());
    else if (arg == "--named-sizes") options.named_sizes = Sizes(next());
    else if (arg == "--named-rounds") options.named_rounds = std::max(1, std::stoi(next()));
    else if (arg == "--lookup-ms") options.lookup_ms = std::stoi(next());
    else if (arg == "--open-files") options.open_files = std::stoul(next());
    else Die("unknown argument " + arg);
  }
  return options;
}

// The descriptors a process may open, raised as far as the hard limit
// allows, or to `wanted` above it where the process may raise that too (the
// children inherit it); the limit it ends at.
rlim_t RaiseDescriptorLimit(rlim_t wanted) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (wanted > limit.rlim_max) {
    const rlimit raised{wanted, wanted};
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
      std::cerr << "the open files limit stays at " << limit.rlim_max << "\n";
  }
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

// Runs a row in a process of its own, with the variables of `variables`
// set, and reads its figures; a process that failed gives its status as the
// row's failure.
RowFigures SpawnRow(const std::string& part, Form form, size_t n, int seconds,
                    const std::map<std::string, std::string>& variables = {}) {
  std::cerr << (part == "many" ? "connects at once: " : "silent waits: ") << n << ", " << FormName(form);
  if (variables.count("XDG_CONFIG_HOME") != 0) std::cerr << ", settings in " << variables.at("XDG_CONFIG_HOME");
  std::cerr << "\n";
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) Die("pipe: " + std::string(strerror(errno)));
  const pid_t pid = ProxyProcess::Spawn({"--row", part, std::to_string(static_cast<int>(form)), std::to_string(n),
                                         std::to_string(seconds)},
                                        out[1], variables);
  close(out[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(out[0], buffer, sizeof(buffer))) > 0;) text.append(buffer, static_cast<size_t>(got));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::cerr << "  " << text;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !text.empty()) return RowFigures::Parse(text);
  RowFigures failed;
  failed.others = n;
  failed.first_other = WIFSIGNALED(status) ? "the row's process ended by signal " + std::to_string(WTERMSIG(status))
                                           : "the row's process failed, status " + std::to_string(status);
  return failed;
}

std::string Machine(rlim_t descriptors) {
  utsname name{};
  uname(&name);
  return std::to_string(std::thread::hardware_concurrency()) + " CPUs (nproc), " + qbbench::CpuModel() + ", Linux " +
         name.release + ", open files limit " + std::to_string(descriptors) + ", load average " +
         qbbench::LoadAverage();
}

std::string Notes(const RowFigures& f) { return f.first_other.empty() ? "" : "first other: " + f.first_other; }

// ---- 3. The proxy given by a name whose lookups are slow ----

// The name the stand-in resolver answers with 127.0.0.1.
constexpr const char* kProxyName = "proxy.qbsocks.test";
constexpr long kThreadsAtMost = 8;
constexpr double kWallAtMost = 1.2;  // of the same connects through the address

// The settings that give the proxy by name, in a folder of their own beside
// the hive's (which keeps the address): the rows are told which folder is
// theirs (XDG_CONFIG_HOME), so that the two take turns without a rewrite.
std::string WriteNamedSettings(qbtest::SettingsHive& hive, uint16_t port) {
  qbtest::WriteSettings(hive, qbtest::ProxySettings{1, kProxyName, port, 5, "", ""});
  const std::string home = hive.ConfigHome() + "/named";
  std::filesystem::create_directories(home + "/qbsocks");
  std::filesystem::copy_file(hive.Path(), home + "/qbsocks/user.reg",
                             std::filesystem::copy_options::overwrite_existing);
  return home;
}

double Median(std::vector<double> figures) {
  std::sort(figures.begin(), figures.end());
  const size_t half = figures.size() / 2;
  return figures.size() % 2 != 0 ? figures[half] : (figures[half - 1] + figures[half]) / 2;
}

// The rounds of one count through one way of giving the proxy.
struct NamedRounds {
  std::vector<double> walls;
  long threads = 0;  // the most of any round
  long lookups = 0;  // the most of any round
  size_t connected = 0, failed = 0;
  std::string first_other;

  void Add(const RowFigures& f) {
    walls.push_back(f.wall_s);
    threads = std::max(threads, f.threads);
    lookups = std::max(lookups, f.lookups);
    connected += f.ended_as_expected;
    failed += f.others;
    if (first_other.empty()) first_other = f.first_other;
  }
  double MedianWall() const { return Median(walls); }
};

std::string NamedProxyRows(const Options& options, const std::string& address_home, const std::string& named_home) {
  std::ostringstream rows;
  rows << "Callback-form connects at once through the same proxy given by its address and by a name whose every "
          "lookup takes "
       << options.lookup_ms << " ms (" << kProxyName
       << ", the stand-in resolver LD_PRELOADed into both rows), each row a process of its own, the two taking "
          "turns; medians of "
       << options.named_rounds << (options.named_rounds == 1 ? " round" : " rounds")
       << " (/address: the median of the rounds' ratios), threads and lookups the most of any round:\n\n"
       << "| connects at once | proxy given by | wall s | /address | library threads at most | lookups made "
          "| connected and echoed | failed | goal | met | notes |\n"
       << "|---:|---|---:|---:|---:|---:|---:|---:|---|---|---|\n";
  const auto variables = [&](const std::string& home) {
    return std::map<std::string, std::string>{{"LD_PRELOAD", QBSOCKS_BENCH_SLOW_LOOKUPS},
                                              {"QBSOCKS_BENCH_LOOKUP_NAME", kProxyName},
                                              {"QBSOCKS_BENCH_LOOKUP_MS", std::to_string(options.lookup_ms)},
                                              {"QBSOCKS_BENCH_LOOKUP_COUNT_FILE", "/dev/null"},
                                              {"XDG_CONFIG_HOME", home}};
  };
  for (size_t n : options.named_sizes) {
    NamedRounds by_address, by_name;
    for (int round = 0; round < options.named_rounds; ++round) {  // the first changes every round
      for (int turn = 0; turn < 2; ++turn) {
        const bool named = (round + turn) % 2 != 0;
        (named ? by_name : by_address)
            .Add(SpawnRow("many", Form::kCallback, n, 0, variables(named ? named_home : address_home)));
      }
    }
    // Each round's two rows ran one after the other: their ratio moves less
    // with the machine's load than the ratio of the medians.
    std::vector<double> ratios;
    for (size_t round = 0; round < by_name.walls.size(); ++round)
      ratios.push_back(by_name.walls[round] / by_address.walls[round]);
    const double ratio = Median(ratios);
    const bool met = by_name.failed == 0 && by_name.threads <= kThreadsAtMost && ratio <= kWallAtMost;
    for (const NamedRounds* r : {&by_address, &by_name}) {
      const bool named = r == &by_name;
      rows << "| " << n << " | " << (named ? "name, " + std::to_string(options.lookup_ms) + " ms lookups" : "address")
           << " | " << Fixed(r->MedianWall(), 2) << " | " << (named ? Fixed(ratio, 2) : "1.00") << " | " << r->threads
           << " | " << r->lookups << " | " << r->connected << " of " << n * options.named_rounds << " | " << r->failed
           << " | "
           << (named ? "all connect, threads <= " + std::to_string(kThreadsAtMost) +
                           ", wall <= " + Fixed(kWallAtMost, 1) + " the address's"
                     : "")
           << " | " << (named ? (met ? "yes" : "NO") : "") << " | "
           << (r->first_other.empty() ? "" : "first other: " + r->first_other) << " |\n";
    }
  }
  return rows.str();
}

int RunBench(const Options& options) {
  const rlim_t descriptors = RaiseDescriptorLimit(options.open_files);
  const std::string machine_at_start = Machine(descriptors);
  ProxyProcess proxy(options.hold_ms);
  qbtest::SettingsHive hive;
  const auto use_proxy = [&](uint16_t port) {
    qbtest::WriteSettings(hive, qbtest::ProxyAt(port, 5));
    qbbench::LetSettingsSettle();
  };

  std::ostringstream many;
  if (!options.sizes.empty())  // a part left out prints nothing
    many << "Connects at once through one proxy that holds each of its two replies " << options.hold_ms
         << " ms (a process of its own, one thread on epoll), each row a process of its own:\n\n"
         << "| connects | form | wall s | threads at most | peak MiB (at start) | connected and echoed | failed "
            "| polls per connect | goal | met | notes |\n"
         << "|---:|---|---:|---:|---:|---:|---:|---:|---|---|---|\n";
  // Both settings are written before the one pause that lets them settle.
  const std::string named_home = options.named_sizes.empty() ? "" : WriteNamedSettings(hive, proxy.slow_port());
  if (!options.sizes.empty() || !options.named_sizes.empty()) use_proxy(proxy.slow_port());
  for (size_t n : options.sizes) {
    for (Form form : {Form::kCallback, Form::kCallerDriven, Form::kThreads}) {
      const bool reference = form == Form::kThreads;
      if (reference &&
          std::find(options.thread_sizes.begin(), options.thread_sizes.end(), n) == options.thread_sizes.end()) {
        continue;
      }
      const RowFigures f = SpawnRow("many", form, n, 0);
      const bool met = f.others == 0 && f.threads <= 1;
      many << "| " << n << " | " << FormName(form) << " | " << Fixed(f.wall_s, 2) << " | " << f.threads << " | "
           << Fixed(f.peak_mib, 1) << " (" << Fixed(f.start_mib, 1) << ") | " << f.ended_as_expected << " | "
           << f.others << " | " << (reference ? "" : Fixed(f.polls_per_connect, 2)) << " | "
           << (reference ? "(today's way)" : "all connect, threads <= 1") << " | "
           << (reference ? ""
               : met     ? "yes"
                         : "NO")
           << " | " << Notes(f) << " |\n";
    }
  }

  const std::string named = options.named_sizes.empty() ? "" : NamedProxyRows(options, hive.ConfigHome(), named_home);

  std::ostringstream silent;
  if (options.silent > 0)
    silent
        << "\n"
        << options.silent << " connects waiting on a proxy that accepts and never answers, the process's CPU over "
        << options.silent_seconds << " s (from 1 s after the starts), then cancelled:\n\n"
        << "| form | CPU s | share of a core | context switches | threads | ended cancelled | goal | met | notes |\n"
        << "|---|---:|---:|---:|---:|---:|---|---|---|\n";
  if (options.silent > 0) use_proxy(proxy.silent_port());
  for (Form form : {Form::kThreads, Form::kCallback, Form::kCallerDriven}) {
    if (options.silent == 0) break;
    const RowFigures f = SpawnRow("silent", form, options.silent, options.silent_seconds);
    silent << "| " << FormName(form) << " | " << Fixed(f.cpu_share * f.wall_s, 3) << " | "
           << Fixed(100 * f.cpu_share, 2) << " % | " << f.switches << " | " << f.threads << " | "
           << f.ended_as_expected << " | < 5 % | " << (f.cpu_share < 0.05 && f.others == 0 ? "yes" : "NO") << " | "
           << Notes(f) << " |\n";
  }
  std::cout << "Machine: " << machine_at_start << " at the start, " << qbbench::LoadAverage() << " at the end\n\n"
            << many.str() << (options.sizes.empty() || named.empty() ? "" : "\n") << named << silent.str();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--proxy" && argc == 6) {
    SlowProxy(std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[2])).Run();
  }
  if (mode == "--row" && argc == 6) {
    return RunRow(argv[2], static_cast<Form>(std::atoi(argv[3])), std::stoul(argv[4]), std::atoi(argv[5]));
  }
  return RunBench(Parse(argc, argv));
}
