#include "robustness/loopback_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>

namespace qbtest {
namespace {

// How long a handler waits for a client that has gone quiet.
constexpr int kQuietLimitMs = 5000;

bool WaitReadable(int fd, int limit_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, limit_ms) > 0;
}

}  // namespace

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 128) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  wake_ = eventfd(0, EFD_CLOEXEC);
  if (wake_ < 0) {
    close(listener_);
    throw std::runtime_error("eventfd");
  }
  thread_ = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
  const uint64_t one = 1;
  if (write(wake_, &one, sizeof(one)) != sizeof(one)) std::terminate();
  thread_.join();
  close(wake_);
  close(listener_);
}

bool LoopbackServer::WaitHandled(size_t count, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (handled_.load() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void LoopbackServer::Run() {
  for (;;) {
    pollfd p[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents != 0) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    handler_(fd);
    close(fd);
    handled_.fetch_add(1);
  }
}

std::optional<std::string> ReadExactly(int fd, size_t count) {
  std::string out(count, '\0');
  size_t have = 0;
  while (have < count) {
    if (!WaitReadable(fd, kQuietLimitMs)) return std::nullopt;
    const ssize_t got = recv(fd, out.data() + have, count - have, 0);
    if (got <= 0) return std::nullopt;
    have += static_cast<size_t>(got);
  }
  return out;
}

std::optional<std::string> ReadThroughZero(int fd, size_t limit) {
  std::string out;
  while (out.size() < limit) {
    const std::optional<std::string> byte = ReadExactly(fd, 1);
    if (!byte) return std::nullopt;
    out += *byte;
    if ((*byte)[0] == '\0') return out;
  }
  return std::nullopt;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void DrainUntilClose(int fd) {
  char buffer[4096];
  while (WaitReadable(fd, kQuietLimitMs) && recv(fd, buffer, sizeof(buffer), 0) > 0) {
  }
}

std::vector<std::string> OpenDescriptors() {
  std::vector<std::string> out;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  const int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || std::stoi(entry->d_name) == own) continue;
    char target[PATH_MAX] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    out.push_back(std::string(entry->d_name) + " -> " + (n > 0 ? target : "?"));
  }
  closedir(dir);
  return out;
}

}  // namespace qbtest
