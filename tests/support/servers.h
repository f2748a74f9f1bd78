// Real servers for the interop tests, all on loopback: an in-process echo
// target, a recording TCP tap, and SOCKS daemons from Debian's packages
// (Dante, microsocks) run as child processes with configs of their own.
//
// Everything here throws std::runtime_error with a readable message when a
// server cannot be started, so that a test fails with the reason.
#ifndef QBTEST_SUPPORT_SERVERS_H
#define QBTEST_SUPPORT_SERVERS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/stream_io.h"
#include "support/test_platform.h"

namespace qbtest {

// A TCP port on 127.0.0.1 that nothing listens on at the time of the call;
// another process may take it a moment later.
uint16_t FreeLoopbackPort();

// A port on 127.0.0.1 held bound without listening for the object's
// lifetime: connections to it are refused, and no other server can take it
// meanwhile (as it could take a port that FreeLoopbackPort merely found).
class RefusingPort : public OnLoopbackPort {
 public:
  RefusingPort();
  ~RefusingPort();

 private:
  NativeSocket fd_ = kNoSocket;
};

class StreamPump;  // the poll loop behind EchoServer and TcpTap

// Listens on 127.0.0.1 (and on [::1] with the same port when the system
// has it, because a proxy that resolves "localhost" may pick ::1 first) and
// sends every byte of every connection back until the peer closes.
class EchoServer : public OnLoopbackPort {
 public:
  EchoServer();
  ~EchoServer();

 private:
  std::unique_ptr<StreamPump> pump_;
};

// Listens on 127.0.0.1 and relays every connection to 127.0.0.1:upstream,
// keeping what the upstream sent on each, so a test can see the very reply
// a real proxy gave.
class TcpTap : public OnLoopbackPort {
 public:
  explicit TcpTap(uint16_t upstreamPort);
  ~TcpTap();

  // The bytes received from the upstream so far, one entry per relayed
  // connection in the order they were accepted.
  std::vector<std::string> UpstreamBytes() const;

 private:
  std::unique_ptr<StreamPump> pump_;
};

// A daemon started through the tests' launcher (tests/support/linux_servers.py)
// on a free port of 127.0.0.1, in a process group of its own with the
// launcher, its files (stderr log, Dante's config and pid file) in a
// temporary folder. The destructor stops the whole group (SIGTERM, then
// SIGKILL after a grace period), reaps it and removes the folder.
class ProxyProcess : public OnLoopbackPort {
 public:
  struct Launch {
    std::string name;               // for messages: "danted", "microsocks"
    std::string program;            // "dante", "microsocks" or a program's absolute path
    std::vector<std::string> args;  // after the server's own; "{port}" is replaced
  };

  // Starts the daemon and waits until it listens. Throws when the program
  // is missing, exits early, or does not listen in time.
  explicit ProxyProcess(const Launch& launch);
  ~ProxyProcess();
  pid_t pid() const { return pid_; }  // the daemon's own
  const std::string& folder() const { return folder_; }
  const std::string& name() const { return name_; }

  // What the daemon wrote to stderr and stdout so far.
  std::string Diagnostics() const;

 private:
  bool Start(const Launch& launch, std::string& whyNot);
  void Stop();

  std::string name_;
  std::string folder_;
  std::string logPath_;
  pid_t group_ = -1;  // the launcher's, which the daemon shares
  pid_t pid_ = -1;
};

// Dante on 127.0.0.1 (internal and external), SOCKS4 and SOCKS5 without
// authentication, clients and targets in 127.0.0.0/8 only.
std::unique_ptr<ProxyProcess> StartDante();

// microsocks on 127.0.0.1, SOCKS5 without authentication.
std::unique_ptr<ProxyProcess> StartMicrosocks();

// microsocks on 127.0.0.1, SOCKS5 requiring this user name and password.
std::unique_ptr<ProxyProcess> StartMicrosocks(const std::string& user, const std::string& password);

// The daemon of a proxy path (support/proxy_paths.h; the password path's
// with kProxyUser and kProxyPassword); none for the direct path.
enum class Daemon;
std::unique_ptr<ProxyProcess> StartProxy(Daemon daemon);

}  // namespace qbtest

#endif  // QBTEST_SUPPORT_SERVERS_H
