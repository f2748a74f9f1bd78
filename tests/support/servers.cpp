#include "support/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/proxy_paths.h"

namespace qbtest {

namespace {

using Clock = std::chrono::steady_clock;

// The launcher tries three ports, giving the server ten seconds on each.
constexpr auto kStartLimit = std::chrono::seconds(60);
constexpr auto kStopGrace = std::chrono::seconds(3);

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A short pause between polls of something that has not happened yet,
// growing from 2 ms to 50 ms.
class Backoff {
 public:
  void Pause() {
    std::this_thread::sleep_for(delay_);
    delay_ = std::min(delay_ * 2, std::chrono::milliseconds(50));
  }

 private:
  std::chrono::milliseconds delay_{2};
};

uint16_t BoundPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error(ErrnoText("getsockname"));
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// A non-blocking listening socket on the loopback address of the family, or
// -1 with errno set.
int ListenOnLoopback(int family, uint16_t port) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int result;
  if (family == AF_INET6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address = LoopbackAddress(port);
    result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (result != 0 || ::listen(fd, SOMAXCONN) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string MakeTempFolder(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qbtest-" + tag + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error(ErrnoText("mkdtemp " + pattern));
  // A daemon that drops privileges may still want to read its own files.
  ::chmod(buffer.data(), 0755);
  return buffer.data();
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "stopped";
}

}  // namespace

uint16_t FreeLoopbackPort() {
  int fd = ListenOnLoopback(AF_INET, 0);
  if (fd < 0) throw std::runtime_error(ErrnoText("listen on 127.0.0.1:0"));
  uint16_t port = BoundPort(fd);
  ::close(fd);
  return port;
}

// One thread with one poll loop over the listeners and every accepted
// connection. Each connection is a set of flows, a flow moving bytes from
// one socket to another through a bounded buffer: an echoed connection is
// one flow from the socket to itself, a relayed one two flows between the
// client and the upstream. Reading and writing are both driven by poll, so
// no transfer size can deadlock it.
class StreamPump {
 public:
  // upstreamPort 0: echo; otherwise relay to 127.0.0.1:upstreamPort.
  StreamPump(std::vector<int> listeners, uint16_t upstreamPort)
      : listeners_(std::move(listeners)), upstreamPort_(upstreamPort) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
      for (int& fd : listeners_) CloseIfOpen(fd);
      throw std::runtime_error(ErrnoText("pipe2"));
    }
    wakeRead_ = ends[0];
    wakeWrite_ = ends[1];
    thread_ = std::thread([this] { Run(); });
  }

  ~StreamPump() {
    char stop = 1;
    while (::write(wakeWrite_, &stop, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    for (Connection& connection : connections_) CloseConnection(connection);
    for (int& fd : listeners_) CloseIfOpen(fd);
    CloseIfOpen(wakeRead_);
    CloseIfOpen(wakeWrite_);
  }

  std::vector<std::string> UpstreamBytes() const {
    std::lock_guard<std::mutex> lock(transcriptMutex_);
    return transcripts_;
  }

 private:
  static constexpr size_t kBufferLimit = 256 * 1024;

  struct Flow {
    int from;
    int to;
    int transcript;  // index into transcripts_, or -1 for none
    std::string pending;
    bool sourceEnded = false;
    bool done = false;
  };

  struct Connection {
    int client = -1;
    int upstream = -1;
    std::vector<Flow> flows;

    bool Finished() const {
      return std::all_of(flows.begin(), flows.end(), [](const Flow& flow) { return flow.done; });
    }
  };

  void Run() {
    for (;;) {
      std::vector<pollfd> polled;
      polled.push_back({wakeRead_, POLLIN, 0});
      for (int fd : listeners_) polled.push_back({fd, POLLIN, 0});
      for (const auto& [fd, events] : WantedEvents()) polled.push_back({fd, events, 0});

      if (::poll(polled.data(), polled.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (polled[0].revents != 0) return;

      std::map<int, short> ready;
      for (const pollfd& entry : polled) ready[entry.fd] |= entry.revents;
      for (int fd : listeners_)
        if (ready[fd] & POLLIN) AcceptAll(fd);
      for (Connection& connection : connections_)
        for (Flow& flow : connection.flows) Service(flow, ready[flow.from], ready[flow.to]);
      DropFinished();
    }
  }

  std::map<int, short> WantedEvents() const {
    std::map<int, short> wanted;
    for (const Connection& connection : connections_) {
      for (const Flow& flow : connection.flows) {
        if (flow.done) continue;
        if (!flow.sourceEnded && flow.pending.size() < kBufferLimit) wanted[flow.from] |= POLLIN;
        if (!flow.pending.empty()) wanted[flow.to] |= POLLOUT;
      }
    }
    return wanted;
  }

  void AcceptAll(int listener) {
    for (;;) {
      int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (client < 0) return;
      Connection connection;
      connection.client = client;
      if (upstreamPort_ == 0) {
        connection.flows.push_back(Flow{client, client, -1, {}});
      } else {
        connection.upstream = ConnectToLoopback(upstreamPort_);
        if (connection.upstream < 0) {
          ::close(client);
          continue;
        }
        ::fcntl(connection.upstream, F_SETFL, ::fcntl(connection.upstream, F_GETFL) | O_NONBLOCK);
        int transcript;
        {
          std::lock_guard<std::mutex> lock(transcriptMutex_);
          transcripts_.emplace_back();
          transcript = static_cast<int>(transcripts_.size()) - 1;
        }
        connection.flows.push_back(Flow{client, connection.upstream, -1, {}});
        connection.flows.push_back(Flow{connection.upstream, client, transcript, {}});
      }
      connections_.push_back(std::move(connection));
    }
  }

  void Service(Flow& flow, short sourceEvents, short sinkEvents) {
    if (flow.done) return;
    if (!flow.sourceEnded && flow.pending.size() < kBufferLimit && (sourceEvents & (POLLIN | POLLHUP | POLLERR)))
      ReadInto(flow);
    if (!flow.pending.empty() && (sinkEvents & (POLLOUT | POLLHUP | POLLERR))) WriteFrom(flow);
    if (flow.sourceEnded && flow.pending.empty() && !flow.done) {
      // Pass the end of the stream on, as a half close.
      ::shutdown(flow.to, SHUT_WR);
      flow.done = true;
    }
  }

  void ReadInto(Flow& flow) {
    char chunk[64 * 1024];
    size_t room = std::min(sizeof chunk, kBufferLimit - flow.pending.size());
    ssize_t count = ::recv(flow.from, chunk, room, 0);
    if (count > 0) {
      flow.pending.append(chunk, static_cast<size_t>(count));
      if (flow.transcript >= 0) {
        std::lock_guard<std::mutex> lock(transcriptMutex_);
        transcripts_[flow.transcript].append(chunk, static_cast<size_t>(count));
      }
    } else if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      flow.sourceEnded = true;
    }
  }

  void WriteFrom(Flow& flow) {
    ssize_t count = ::send(flow.to, flow.pending.data(), flow.pending.size(), MSG_NOSIGNAL);
    if (count > 0) {
      flow.pending.erase(0, static_cast<size_t>(count));
    } else if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      // The receiver is gone: nothing more can be delivered this way.
      flow.pending.clear();
      flow.sourceEnded = true;
      flow.done = true;
    }
  }

  void DropFinished() {
    for (Connection& connection : connections_)
      if (connection.Finished()) CloseConnection(connection);
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [](const Connection& c) { return c.client < 0; }),
                       connections_.end());
  }

  static void CloseConnection(Connection& connection) {
    CloseIfOpen(connection.client);
    CloseIfOpen(connection.upstream);
  }

  std::vector<int> listeners_;
  uint16_t upstreamPort_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::vector<Connection> connections_;  // owned by the pump thread
  mutable std::mutex transcriptMutex_;
  std::vector<std::string> transcripts_;
  std::thread thread_;
};

EchoServer::EchoServer() {
  // Look for a port that is free on both loopback addresses; go on with
  // 127.0.0.1 alone where the system has no IPv6 loopback.
  for (int attempt = 0; attempt < 10; ++attempt) {
    int v4 = ListenOnLoopback(AF_INET, 0);
    if (v4 < 0) throw std::runtime_error(ErrnoText("echo server: listen on 127.0.0.1"));
    uint16_t port = BoundPort(v4);
    int v6 = ListenOnLoopback(AF_INET6, port);
    if (v6 < 0 && errno == EADDRINUSE) {
      ::close(v4);
      continue;
    }
    std::vector<int> listeners{v4};
    if (v6 >= 0) listeners.push_back(v6);
    pump_ = std::make_unique<StreamPump>(std::move(listeners), 0);
    port_ = port;
    return;
  }
  throw std::runtime_error("echo server: no port free on both 127.0.0.1 and ::1");
}

EchoServer::~EchoServer() = default;

TcpTap::TcpTap(uint16_t upstreamPort) {
  int listener = ListenOnLoopback(AF_INET, 0);
  if (listener < 0) throw std::runtime_error(ErrnoText("tap: listen on 127.0.0.1"));
  port_ = BoundPort(listener);
  pump_ = std::make_unique<StreamPump>(std::vector<int>{listener}, upstreamPort);
}

TcpTap::~TcpTap() = default;

std::vector<std::string> TcpTap::UpstreamBytes() const { return pump_->UpstreamBytes(); }

ProxyProcess::ProxyProcess(const Launch& launch) : name_(launch.name) {
  // Daemons that Dante forks outlive their mother by a moment when it is
  // stopped; as a subreaper this process inherits and reaps them.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);

  folder_ = MakeTempFolder(launch.name);
  logPath_ = folder_ + "/stderr.log";
  std::string whyNot;
  if (Start(launch, whyNot)) return;

  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
  throw std::runtime_error(launch.name + " did not start: " + whyNot);
}

ProxyProcess::~ProxyProcess() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string ProxyProcess::Diagnostics() const { return ReadFile(logPath_); }

namespace {

// Reads the launcher's line "PORT PID" as it comes into `line`; false
// when the launcher ended without one (true with no line: the limit passed).
bool ReadReadyLine(int fd, std::string& line) {
  const auto deadline = Clock::now() + kStartLimit;
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return true;
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    char chunk[64];
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
    if (got > 0) line.append(chunk, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

// The server is started by tests/support/linux_servers.py, the launcher
// that the demo and the other tests use too: it knows each daemon's
// command line and configuration, finds it a free port and waits until the
// daemon itself listens there. It runs in a process group of its own with
// the daemon, which Stop ends as a whole.
bool ProxyProcess::Start(const Launch& launch, std::string& whyNot) {
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls are allowed in a threaded process.
  std::vector<std::string> args{QBTEST_PYTHON, QBTEST_SERVERS_LAUNCHER, "--serve", folder_, launch.program};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int ready[2];
  if (log < 0 || devNull < 0 || ::pipe2(ready, O_CLOEXEC) != 0) {
    whyNot = ErrnoText("preparing to start the launcher");
    CloseIfOpen(log);
    CloseIfOpen(devNull);
    return false;
  }

  const pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(ready[1], STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(ready[1]);
  ::close(log);
  ::close(devNull);
  if (child < 0) {
    whyNot = ErrnoText("fork");
    ::close(ready[0]);
    return false;
  }
  ::setpgid(child, child);  // also here, so the group exists whoever runs first
  group_ = child;

  std::string text;
  const bool running = ReadReadyLine(ready[0], text);
  ::close(ready[0]);
  std::istringstream line(text);
  unsigned port = 0;
  if (line >> port >> pid_) {
    port_ = static_cast<uint16_t>(port);
    return true;
  }
  int status = 0;
  whyNot = running || ::waitpid(child, &status, 0) != child ? "the launcher gave no port in time"
                                                            : "the launcher " + DescribeStatus(status);
  Stop();
  whyNot += "; its output:\n" + Diagnostics();
  return false;
}

void ProxyProcess::Stop() {
  if (group_ > 0) {
    const pid_t group = group_;
    ::kill(-group, SIGTERM);
    const auto deadline = Clock::now() + kStopGrace;
    Backoff backoff;
    bool escalated = false;
    // Reap the mother, then whatever of her group has been handed to us.
    for (;;) {
      int status;
      pid_t reaped = ::waitpid(-group, &status, WNOHANG);
      if (reaped > 0) continue;
      if (reaped < 0 && errno == ECHILD) {
        // No child of ours left in the group; a member not yet reparented
        // to us would still be there for kill to find.
        if (::kill(-group, 0) != 0) break;
      }
      if (!escalated && Clock::now() >= deadline) {
        ::kill(-group, SIGKILL);
        escalated = true;
      } else if (escalated && Clock::now() >= deadline + kStopGrace) {
        break;  // only members that are not ours to reap can be left
      }
      backoff.Pause();
    }
    group_ = -1;
    pid_ = -1;
  }
}

std::unique_ptr<ProxyProcess> StartDante() {
  return std::make_unique<ProxyProcess>(ProxyProcess::Launch{"danted", "dante", {}});
}

std::unique_ptr<ProxyProcess> StartMicrosocks() {
  return std::make_unique<ProxyProcess>(ProxyProcess::Launch{"microsocks", "microsocks", {}});
}

std::unique_ptr<ProxyProcess> StartMicrosocks(const std::string& user, const std::string& password) {
  return std::make_unique<ProxyProcess>(
      ProxyProcess::Launch{"microsocks", "microsocks", {"-u", user, "-P", password}});
}

std::unique_ptr<ProxyProcess> StartProxy(Daemon daemon) {
  switch (daemon) {
    case Daemon::None: return nullptr;
    case Daemon::Dante: return StartDante();
    case Daemon::Microsocks: return StartMicrosocks();
    case Daemon::MicrosocksWithPassword: return StartMicrosocks(kProxyUser, kProxyPassword);
  }
  return nullptr;
}

}  // namespace qbtest
