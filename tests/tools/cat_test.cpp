// qbsocks-cat run as a user runs it: through each path the settings can
// choose (direct, SOCKS4 and SOCKS5 through Dante, SOCKS5 through
// microsocks with and without a password), to a local echo target; each
// kind of failure, naming the path tried and the reason; the settings that
// turn the proxy off; and 64 MiB through microsocks. -F hands the socket
// over on each path.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/proxy_paths.h"
#include "support/scripted_peer.h"
#include "support/servers.h"
#include "support/temp_hive.h"
#include "tools/tool_process.h"

namespace {

using qbtest::kProxyPassword;
using qbtest::kProxyUser;
using qbtest::ProxyAt;
using qbtest::ProxyPath;
using qbtest::RandomBytes;
using qbtest::WriteSettings;

// FNV-1a, 64 bits: enough to tell a changed, lost or reordered byte, and a
// failed comparison prints two numbers instead of megabytes.
uint64_t Digest(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

qbtest::ToolResult Cat(std::vector<std::string> args, std::string input = "", bool holdInputUntilEchoed = true) {
  qbtest::ToolRun run;
  run.args = std::move(args);
  run.input = std::move(input);
  if (holdInputUntilEchoed) run.closeInputAfterOutput = run.input.size();
  return qbtest::RunTool(QBSOCKS_CAT_PATH, run);
}

bool Contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// What the tool names the path: version 0 is the direct one.
std::string Described(DWORD version, uint16_t proxyPort, const std::string& user) {
  if (version == 0) return "direct";
  return "SOCKS" + std::to_string(version) + " proxy 127.0.0.1:" + std::to_string(proxyPort) +
         (version == 5 && !user.empty() ? " as " + user : "");
}

// qbsocks-cat -F run as ssh's ProxyUseFdpass runs it, one end of a socket
// pair its standard input and output: the socket received there (-1 when
// none came) and the exit status.
std::pair<int, int> PassedSocket(std::vector<std::string> args) {
  int ends[2], fd = -1, status = -1;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {fd, status};
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  args.insert(args.begin(), {QBSOCKS_CAT_PATH, "-F"});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const bool started = ::posix_spawn(&pid, QBSOCKS_CAT_PATH, &actions, nullptr, argv.data(), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  char byte = 1;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{nullptr, 0, &data, 1, control, sizeof control, 0};
  if (started && ::recvmsg(ends[0], &message, MSG_CMSG_CLOEXEC) == 1 && CMSG_FIRSTHDR(&message) != nullptr &&
      CMSG_FIRSTHDR(&message)->cmsg_type == SCM_RIGHTS) {
    std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof fd);
  }
  ::close(ends[0]);
  if (started) ::waitpid(pid, &status, 0);
  return {fd, status};
}

class QbsocksCatPath : public ::testing::TestWithParam<ProxyPath> {};

// Each path, with input held open until the echo is back (microsocks drops
// a connection at the first end of stream) and with input ended at once
// where the path passes a half close on.
TEST_P(QbsocksCatPath, RelaysBothWaysAndNamesThePath) {
  const ProxyPath& path = GetParam();
  qbtest::TempHive hive;
  qbtest::EchoServer echo;
  const auto proxy = qbtest::StartProxy(path.daemon);
  const uint16_t proxyPort = proxy ? proxy->port() : 0;
  if (proxy) WriteSettings(hive, ProxyAt(proxyPort, path.version, UserFor(path), PasswordFor(path)));

  const std::string payload = RandomBytes(256 * 1024, 5);
  const std::vector<std::string> args{"-v", "127.0.0.1", std::to_string(echo.port())};
  const qbtest::ToolResult r = Cat(args, payload);
  EXPECT_EQ(r.exitCode, 0) << qbtest::Describe(r);
  EXPECT_TRUE(r.out == payload) << qbtest::Describe(r);
  EXPECT_TRUE(Contains(r.err, "connecting to 127.0.0.1:" + std::to_string(echo.port()) + " (" +
                                  Described(path.version, proxyPort, UserFor(path)) + ")"))
      << r.err;

  const auto [passed, status] = PassedSocket({"127.0.0.1", std::to_string(echo.port())});
  char back[5] = {};
  EXPECT_TRUE(passed >= 0 && ::send(passed, "ping", 4, MSG_NOSIGNAL) == 4 &&
              ::recv(passed, back, 4, MSG_WAITALL) == 4);
  EXPECT_STREQ(back, "ping");
  EXPECT_EQ(status, 0);
  if (passed >= 0) ::close(passed);

  if (path.daemon == qbtest::Daemon::Microsocks || qbtest::WithPassword(path)) return;
  // The end of input reaches the target as a half close; the echo then
  // ends its side and the tool exits with every byte delivered.
  const qbtest::ToolResult halfClosed = Cat(args, payload, false);
  EXPECT_EQ(halfClosed.exitCode, 0) << qbtest::Describe(halfClosed);
  EXPECT_TRUE(halfClosed.out == payload) << qbtest::Describe(halfClosed);
}

INSTANTIATE_TEST_SUITE_P(Paths, QbsocksCatPath, ::testing::ValuesIn(qbtest::DirectAndProxyPaths()),
                         qbtest::PathName());

// A failed connect: exit 1 and one line naming the path tried and ending
// with the reason, the library's own text where it reported one (spelt as
// it spells it), the socket error in words where it did not. With -v, the
// facts line before it; with -F, nothing passed on the socket it was given.
struct ConnectFailure {
  const char* name;
  enum class Proxy { None, Refusing, Scripted, Daemon } proxy;
  DWORD version;
  const char* host;
  std::function<qbtest::PeerScript(unsigned targetPort)> script;  // Scripted: what the proxy does
  qbtest::Daemon daemon;                                          // Daemon: which one
  std::string user;
  std::string password;
  std::string reason;
  std::vector<std::string> options = {};
  std::string facts = {};  // -v: the line of the step and the errors
};

void PrintTo(const ConnectFailure& row, std::ostream* out) { *out << row.name; }

// One row per kind of failure; the unit tables map every code to its text.
std::vector<ConnectFailure> ConnectFailures() {
  using qbtest::Bytes;
  using qbtest::PeerStep;
  using Proxy = ConnectFailure::Proxy;
  const auto none = qbtest::Daemon::None;
  return {
      {"Socks5ReplyCode", Proxy::Scripted, 5, "127.0.0.1",
       [](unsigned port) -> qbtest::PeerScript {
         return {PeerStep::Expect(qbtest::kSocks5Offer), PeerStep::Send(qbtest::kNoAuthChoice),
                 PeerStep::Expect(Bytes({5, 1, 0, 1, 127, 0, 0, 1}) + qbtest::PortBytes(port)),
                 PeerStep::Send(qbtest::Socks5Reply(4, 1, Bytes({0, 0, 0, 0})))};
       },
       none, "", "", "the SOCKS5 proxy {proxy} could not connect to {target}: Host unreachable"},
      {"Socks5PasswordRefused",
       Proxy::Daemon,
       5,
       "127.0.0.1",
       {},
       qbtest::Daemon::MicrosocksWithPassword,
       kProxyUser,
       "wrong-password",
       std::string("SOCKS5 proxy {proxy}: ") + qbtest::kAuthFailure},
      {"Socks4ReplyCode",
       Proxy::Daemon,
       4,
       "127.0.0.1",
       {},
       qbtest::Daemon::Dante,
       "",
       "",
       std::string("the SOCKS4 proxy {proxy} could not connect to {target}: ") + qbtest::kSocks4Rejected},
      {"Socks4RefusesANameBeforeSending", Proxy::Scripted, 4, "localhost",
       [](unsigned) { return qbtest::PeerScript{}; }, none, "", "",
       std::string("SOCKS4 proxy {proxy}: ") + qbtest::kSocks4NoNames},
      {"ShortReply", Proxy::Scripted, 5, "127.0.0.1",
       [](unsigned) -> qbtest::PeerScript {
         return {PeerStep::Expect(qbtest::kSocks5Offer), PeerStep::Send(Bytes({5})), PeerStep::Close()};
       },
       none, "", "", std::string("SOCKS5 proxy {proxy}: ") + qbtest::kGeneralFailure + " (closed by the proxy)"},
      {"RefusedProxy",
       Proxy::Refusing,
       5,
       "127.0.0.1",
       {},
       none,
       "",
       "",
       "cannot reach the proxy {proxy}: connection refused"},
      {"RefusedDirectConnect", Proxy::None, 0, "127.0.0.1", {}, none, "", "", "connection refused"},
      // clang-format off
      {"SystemErrorInWords", Proxy::None, 0, "127.0.0.1", {}, none, "", "", "connection refused", {"-v"},
       "failed in step 10 (the connect to the target), system error 10061 (Connection refused)"},
      {"SilentProxyWithinTheBound", Proxy::Scripted, 5, "127.0.0.1",
       [](unsigned) { return qbtest::PeerScript{PeerStep::Expect(qbtest::kSocks5Offer)}; },
       none, "", "", "timed out after 1000 ms waiting for the proxy's reply", {"-w", "1"}},
      {"RefusedDirectIpv6", Proxy::None, 0, "::1", {}, none, "", "", "connection refused", {"-v"},
       "failed in step 10 (the connect to the target), system error 10061 (Connection refused)"},
      {"RefusedDirectIpv6InBrackets", Proxy::None, 0, "[::1]", {}, none, "", "", "connection refused"},
      {"PassesNothingAfterAFailedConnect", Proxy::None, 0, "127.0.0.1", {}, none, "", "", "connection refused",
       {"-F"}},
      // clang-format on
  };
}

// What a scripted peer reads from the client: its Expect steps, in order.
std::string Expected(const qbtest::PeerScript& script) {
  std::string bytes;
  for (const qbtest::PeerStep& step : script)
    if (step.kind == qbtest::PeerStep::Kind::Expect) bytes += step.bytes;
  return bytes;
}

class QbsocksCatFailure : public ::testing::TestWithParam<ConnectFailure> {};

TEST_P(QbsocksCatFailure, ExitsOneWithOneLineNamingThePathAndTheReason) {
  const ConnectFailure& row = GetParam();
  qbtest::TempHive hive;
  qbtest::RefusingPort closed;  // the target, which no row reaches
  std::unique_ptr<qbtest::ScriptedPeer> peer;
  std::unique_ptr<qbtest::ProxyProcess> daemon;
  const qbtest::PeerScript script = row.script ? row.script(closed.port()) : qbtest::PeerScript{};
  uint16_t proxyPort = closed.port();
  if (row.proxy == ConnectFailure::Proxy::Scripted) {
    peer = std::make_unique<qbtest::ScriptedPeer>(script);
    proxyPort = peer->port();
  } else if (row.proxy == ConnectFailure::Proxy::Daemon) {
    daemon = qbtest::StartProxy(row.daemon);
    proxyPort = daemon->port();
  }
  if (row.proxy != ConnectFailure::Proxy::None) {
    WriteSettings(hive, ProxyAt(proxyPort, row.version, row.user, row.password));
  }

  const std::string host = row.host, bracketed = host.find(':') < host.find('[') ? "[" + host + "]" : host;
  const std::string target = bracketed + ":" + std::to_string(closed.port());  // an IPv6 host in brackets
  qbtest::ToolRun run;
  run.args = row.options;
  run.args.insert(run.args.end(), {row.host, std::to_string(closed.port())});
  // -F's output is a Unix-domain socket, as ssh gives it: a socket passed would show as a byte.
  if (!row.options.empty() && row.options[0] == "-F") run.streams = qbtest::ToolRun::Streams::kOneSocket;
  const qbtest::ToolResult r = qbtest::RunTool(QBSOCKS_CAT_PATH, run);
  EXPECT_EQ(r.exitCode, 1) << qbtest::Describe(r);
  EXPECT_EQ(r.out, "");
  std::string reason = row.reason;  // "{proxy}": the proxy the row runs; "{target}": the target
  if (const size_t at = reason.find("{proxy}"); at != std::string::npos) {
    reason.replace(at, 7, "127.0.0.1:" + std::to_string(proxyPort));
  }
  if (const size_t at = reason.find("{target}"); at != std::string::npos) reason.replace(at, 8, target);
  const std::string path = Described(row.version, proxyPort, row.user);
  const std::string facts = row.facts.empty() ? ""
                                              : "qbsocks-cat: connecting to " + target + " (" + path +
                                                    ")\nqbsocks-cat: " + row.facts + "\n";
  EXPECT_EQ(r.err, facts + "qbsocks-cat: cannot connect to " + target + " (" + path + "): " + reason + "\n");
  if (peer) {
    EXPECT_EQ(peer->Received(), Expected(script));
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, QbsocksCatFailure, ::testing::ValuesIn(ConnectFailures()), qbtest::PathName());

// Each way the settings turn the proxy off, with a server that would refuse
// the connection: the tool names the direct path and the connect takes it.
class QbsocksCatProxyOff : public ::testing::TestWithParam<qbtest::NamedSettings> {};

TEST_P(QbsocksCatProxyOff, NamesTheDirectPathAndTakesIt) {
  qbtest::TempHive hive;
  qbtest::EchoServer echo;
  qbtest::RefusingPort closed;
  if (const auto settings = GetParam().settings(closed.port())) WriteSettings(hive, *settings);

  const qbtest::ToolResult r = Cat({"-v", "127.0.0.1", std::to_string(echo.port())}, "ping");
  EXPECT_EQ(r.exitCode, 0) << qbtest::Describe(r);
  EXPECT_EQ(r.out, "ping");
  EXPECT_TRUE(Contains(r.err, "connecting to 127.0.0.1:" + std::to_string(echo.port()) + " (direct)")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Settings, QbsocksCatProxyOff, ::testing::ValuesIn(qbtest::kProxyOffSettings),
                         qbtest::PathName());

// Unreadable settings (a folder where the file should be): -v says why,
// and the connect fails rather than go direct.
TEST(QbsocksCat, UnreadableSettingsFailTheConnect) {
  qbtest::TempHive hive;
  qbtest::EchoServer echo;
  std::filesystem::create_directories(hive.Path());
  const std::string to = "127.0.0.1:" + std::to_string(echo.port()),
                    why = "Cannot read the proxy settings: the store cannot be read in full";
  const qbtest::ToolResult r = Cat({"-v", "127.0.0.1", std::to_string(echo.port())});
  EXPECT_EQ(r.exitCode, 1) << qbtest::Describe(r);
  EXPECT_EQ(r.err, "qbsocks-cat: connecting to " + to + " (" + why +
                       ")\nqbsocks-cat: failed in step 1 (the settings read), " +
                       "system error 1012\nqbsocks-cat: cannot connect to " + to + ": " + why + "\n");
}

TEST(QbsocksCat, CommandLineErrorsAndHelp) {
  qbtest::TempHive hive;
  const std::vector<std::string> bad[] = {
      {},
      {"127.0.0.1"},
      {"127.0.0.1", "0"},
      {"127.0.0.1", "65536"},
      {"127.0.0.1", "ssh"},
      {"-x", "127.0.0.1", "22"},
      {"127.0.0.1", "22", "extra"},
      {"", "22"},
  };
  for (const auto& args : bad) {
    const qbtest::ToolResult r = Cat(args);
    EXPECT_EQ(r.exitCode, 1) << ::testing::PrintToString(args) << qbtest::Describe(r);
    // What is wrong, then where to look.
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), "Try 'qbsocks-cat --help'.\n") << ::testing::PrintToString(args);
  }
  const qbtest::ToolResult help = Cat({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(Contains(help.out, "-o ProxyUseFdpass=yes -o ProxyCommand='qbsocks-cat -w 10 -F %h %p'")) << help.out;
  EXPECT_EQ(Cat({"--version"}).out, "qbsocks-cat " QBSOCKS_RELEASE "\n");
}

// -F looks at its output before it connects: with a pipe or a file there,
// the target (an sshd, whose fail2ban counts dropped connections) sees none.
TEST(QbsocksCat, PassingRefusedBeforeConnectingWhenOutputIsNoSocket) {
  qbtest::TempHive hive;
  uint16_t port = 0;
  const qbtest::NativeSocket target = qbtest::BindLoopback(port);
  const std::string file = hive.ConfigHome() + "/out";
  for (const bool toFile : {false, true}) {
    qbtest::ToolRun run;
    run.args = {"-F", "127.0.0.1", std::to_string(port)};
    if (toFile) run.args = {"-c", "\"$0\" -F 127.0.0.1 \"$1\" > \"$2\"", QBSOCKS_CAT_PATH, run.args[2], file};
    const qbtest::ToolResult r = qbtest::RunTool(toFile ? "/bin/sh" : QBSOCKS_CAT_PATH, run);
    EXPECT_EQ(r.exitCode, 1) << qbtest::Describe(r);
    EXPECT_EQ(r.err,
              "qbsocks-cat: -F needs standard output to be a Unix-domain socket, as ssh's ProxyUseFdpass "
              "gives it\n");
  }
  // A connect made would wait in the listener's queue by now.
  pollfd queued{target, POLLIN, 0};
  EXPECT_EQ(::poll(&queued, 1, 0), 0) << "the target saw a connection";
  ::close(target);
}

// As ssh's ProxyCommand: the server ends its side while the input stays
// open (ssh closes it once the output has ended). The end reaches the
// reader however standard output is given, and ends only the tool's own
// output: a script that shares the output socket still writes after it.
TEST(QbsocksCat, PassesThePeersEndOnWhileInputStaysOpen) {
  using Streams = qbtest::ToolRun::Streams;
  const struct {
    Streams streams;
    bool inScript;
  } rows[] = {{Streams::kPipes, false}, {Streams::kOneSocket, false}, {Streams::kOutputSocket, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.streams));
    qbtest::TempHive hive;
    qbtest::ScriptedPeer server({qbtest::PeerStep::Send("bye"), qbtest::PeerStep::Close()});
    // The script holds its output open: its input ends once "bye" is out.
    qbtest::ToolRun run{{"127.0.0.1", std::to_string(server.port())}, "", row.inScript ? 3 : SIZE_MAX};
    run.streams = row.streams;
    if (row.inScript) run.args.insert(run.args.begin(), {"-c", "\"$0\" \"$@\"; echo after", QBSOCKS_CAT_PATH});
    const qbtest::ToolResult r = qbtest::RunTool(row.inScript ? "/bin/sh" : QBSOCKS_CAT_PATH, run);
    EXPECT_EQ(r.exitCode, 0) << qbtest::Describe(r);
    EXPECT_EQ(r.out, row.inScript ? "byeafter\n" : "bye");
  }
}

// An echo target that never stops reading: what it cannot send yet it
// keeps. microsocks relays with blocking writes from one loop, so with an
// echo that stops reading once its replies back up (any bounded one), the
// two end up waiting for each other when both directions are busy.
class GreedyEcho {
 public:
  GreedyEcho() {
    listener_ = qbtest::BindLoopback(port_);
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
      ::close(listener_);
      throw std::runtime_error("greedy echo: pipe2");
    }
    thread_ = std::thread([this] { Serve(); });
  }

  ~GreedyEcho() {
    ::close(wake_[1]);
    thread_.join();
    ::close(wake_[0]);
    ::close(listener_);
  }

  uint16_t port() const { return port_; }

 private:
  void Serve() {
    pollfd waitAccept[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(waitAccept, 2, -1) <= 0 || waitAccept[1].revents != 0) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    std::string pending;
    size_t sent = 0;
    bool ended = false;
    std::vector<char> chunk(1 << 20);
    while (!ended || sent < pending.size()) {
      pollfd fds[2] = {{fd, static_cast<short>((ended ? 0 : POLLIN) | (sent < pending.size() ? POLLOUT : 0)), 0},
                       {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (fds[1].revents != 0) break;
      const ssize_t got = ended ? -1 : ::recv(fd, chunk.data(), chunk.size(), 0);
      if (got > 0) pending.append(chunk.data(), static_cast<size_t>(got));
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR && !ended)) ended = true;
      const ssize_t put =
          sent < pending.size() ? ::send(fd, pending.data() + sent, pending.size() - sent, MSG_NOSIGNAL) : 0;
      if (put > 0) sent += static_cast<size_t>(put);
      if (put < 0 && errno != EAGAIN && errno != EINTR) break;
      if (sent > (8u << 20) && sent * 2 > pending.size()) pending.erase(0, std::exchange(sent, 0));
    }
    ::close(fd);
  }

  int listener_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST(QbsocksCat, SixtyFourMebibytesThroughMicrosocksKeepEveryByte) {
  qbtest::TempHive hive;
  GreedyEcho echo;
  const auto microsocks = qbtest::StartProxy(qbtest::Daemon::MicrosocksWithPassword);
  WriteSettings(hive, ProxyAt(microsocks->port(), 5, kProxyUser, kProxyPassword));

  qbtest::ToolRun run;
  run.args = {"127.0.0.1", std::to_string(echo.port())};
  run.input = RandomBytes(64u << 20, 64);
  run.closeInputAfterOutput = run.input.size();
  const qbtest::ToolResult r = qbtest::RunTool(QBSOCKS_CAT_PATH, run);
  EXPECT_EQ(r.exitCode, 0) << qbtest::Describe(r);
  EXPECT_EQ(r.out.size(), run.input.size());
  EXPECT_EQ(Digest(r.out), Digest(run.input));
}

}  // namespace
