// What the bench's programs share: dying with a message, a listener on
// loopback, figures as text, the machine's description, and the pause that
// lets written settings settle.
#ifndef QBSOCKS_BENCH_BENCH_COMMON_H
#define QBSOCKS_BENCH_BENCH_COMMON_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace qbbench {

using Clock = std::chrono::steady_clock;

[[noreturn]] inline void Die(const std::string& why) {
  std::cerr << program_invocation_short_name << ": " << why << "\n";
  std::exit(1);
}

// A socket listening on 127.0.0.1 on a free port, which it tells.
inline int ListenOnLoopback(int backlog, uint16_t* port, const std::string& failure) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Die(failure);
  }
  *port = ntohs(address.sin_port);
  return fd;
}

inline std::string Fixed(double v, int decimals) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(decimals);
  out << v;
  return out.str();
}

inline std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

// Other work on the machine shows in the figures; the load says how much.
inline std::string LoadAverage() {
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

// Settings are written rarely and read at every connect. A settings file
// changed in the last two seconds is parsed afresh at every read (an edit
// within one tick of the file system's clock could otherwise go unseen);
// the bench measures the steady state, where the parsed copy is reused.
inline void LetSettingsSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(2100)); }

}  // namespace qbbench

#endif  // QBSOCKS_BENCH_BENCH_COMMON_H
