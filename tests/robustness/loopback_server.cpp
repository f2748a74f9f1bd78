#include "robustness/loopback_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>

namespace qbtest {
LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = BindLoopback(port_);
  // A connection reset before it is taken must not leave accept waiting.
  fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
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
