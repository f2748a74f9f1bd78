// qbsocks-cat: a netcat whose connection is made by QBSocks32's C
// interface (qbsocks.h), so the current user's proxy settings decide
// whether it goes direct or through SOCKS4 or SOCKS5, and the library says
// why a connect failed. Works as ssh's ProxyCommand, relaying or (-F)
// handing the connected socket to ssh.
#include "qbsocks.h"
#include "relay.h"
#include "tools/tool_text.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kUsage[] = R"(Usage: qbsocks-cat [-v] [-w SECONDS] [-F] HOST PORT
       qbsocks-cat --version
Connects to HOST:PORT with QBSocks32 (directly, or through the SOCKS4 or SOCKS5
proxy the current user's settings name), then copies standard input to the
connection and the connection to standard output until both have ended.
HOST is a name, a dotted IPv4 address or an IPv6 address (::1 or [::1]).

  -v          say on standard error which path is taken before connecting, and
              why it is the direct one when the proxy is switched on but
              another setting turns it off, or why the settings cannot be
              read; on a failure, the step it failed in, the proxy's code and
              the system's error (its number, and its words where it has them)
  -w SECONDS  give up connecting after SECONDS (1 to 4294967), whichever step
              it is at (the lookup of a name excepted); by default each proxy
              reply may take 10 seconds and a TCP connect as long as the system
              lets it
  -F          pass the connected socket to the process at the other end of
              standard output (a Unix-domain socket) and exit, instead of
              relaying: what ssh's ProxyUseFdpass expects (not on Windows);
              refused before connecting when standard output is no such socket
  -h, --help  show this text
  --version   show the release

As ssh's ProxyCommand (one process relays for the whole session):
  ssh -o ProxyCommand='qbsocks-cat -w 10 %h %p' user@host
or handing the socket to ssh, with no process left once connected:
  ssh -o ProxyUseFdpass=yes -o ProxyCommand='qbsocks-cat -w 10 -F %h %p' user@host

The settings are the values of HKEY_CURRENT_USER\Software\Quillbrook\Game\Share\Proxy:
set them with qbsocks-reg on Linux (see qbsocks-reg --help), with regedit or
reg.exe on Windows.

Exit status: 0 after a successful connection, 1 when the connection cannot be
made or a stream fails, with one line on standard error (and a second that
points here when the command line is wrong). A failed connect's
line names the path tried and ends with the reason: the text QBSocks32
reported for the failing SOCKS step, as it spells it (for example
"Username/password subnegotition failure"), or the socket error in words
where there was none (a refused proxy, a direct connect):
  qbsocks-cat: cannot connect to HOST:PORT (SOCKS5 proxy 127.0.0.1:1080 as alice): REASON
Settings that exist but cannot be read fail the connect (nothing is sent):
  qbsocks-cat: cannot connect to HOST:PORT: Cannot read the proxy settings: WHY
)";

// A failure's step, and the proxy's code and the system's error when it
// has them: "failed in step 8 (the proxy's reply), proxy code 5".
std::string FactsInWords(const qbsocks_outcome& outcome) {
#define QBCAT_STEP_WORDS(name, number, result, what, doing) what,
  static const char* const kSteps[] = {QBSOCKS_STEPS(QBCAT_STEP_WORDS)};
#undef QBCAT_STEP_WORDS
  std::string text = "failed in step " + std::to_string(outcome.step);
  if (outcome.step >= 0 && outcome.step < static_cast<int>(sizeof(kSteps) / sizeof(kSteps[0]))) {
    text += std::string(" (") + kSteps[outcome.step] + ")";
  }
  if (outcome.proxy_code != QBSOCKS_NO_PROXY_CODE) text += ", proxy code " + std::to_string(outcome.proxy_code);
  if (outcome.system_error != 0) text += ", " + qbcat::ErrorText("system error", outcome.system_error);
  return text;
}

// The longest -w whose milliseconds fit qbsocks_connect_timeout's bound.
constexpr unsigned long kMaxWaitSeconds = 4294967;

struct Options {
  bool verbose = false;
  unsigned waitMs = 0;      // -w, 0: none
  bool passSocket = false;  // -F
  bool help = false;
  bool version = false;
  std::string host;
  unsigned port = 0;
};

std::optional<unsigned> ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long port = std::strtoul(text.c_str(), nullptr, 10);
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<unsigned>(port);
}

// An IPv6 address may come in brackets, as in a URL ("[::1]"): the C call
// takes it bare.
std::string BareHost(const std::string& host) {
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  return bracketed ? host.substr(1, host.size() - 2) : host;
}

// "HOST:PORT" as the messages write it: an IPv6 address in brackets, so that
// the port reads apart from it.
std::string TargetText(const std::string& host, unsigned port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<unsigned> ParseWaitMs(const std::string& text) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long seconds = std::strtoul(text.c_str(), nullptr, 10);
  if (seconds == 0 || seconds > kMaxWaitSeconds) return std::nullopt;
  return static_cast<unsigned>(seconds * 1000);
}

std::optional<Options> ParseArguments(const std::vector<std::string>& args, std::string& why) {
  Options options;
  std::vector<std::string> positionals;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-v") {
      options.verbose = true;
    } else if (arg == "-F") {
      options.passSocket = true;
    } else if (arg.compare(0, 2, "-w") == 0) {
      // "-w SECONDS" or "-wSECONDS", as getopt takes it.
      const bool separate = arg == "-w";
      if (separate && i + 1 == args.size()) {
        why = "-w needs a number of seconds";
        return std::nullopt;
      }
      const std::string value = separate ? args[++i] : arg.substr(2);
      const auto waitMs = ParseWaitMs(value);
      if (!waitMs) {
        why = "\"" + value + "\" is not a number of seconds (1 to " + std::to_string(kMaxWaitSeconds) + ")";
        return std::nullopt;
      }
      options.waitMs = *waitMs;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    } else if (arg == "--version") {
      options.version = true;
      return options;
    } else if (arg.size() > 1 && arg[0] == '-') {
      why = "unknown option " + arg;
      return std::nullopt;
    } else {
      positionals.push_back(arg);
    }
  }
  if (positionals.size() != 2 || positionals[0].empty()) {
    why = "expected HOST and PORT";
    return std::nullopt;
  }
  options.host = BareHost(positionals[0]);
  const auto port = ParsePort(positionals[1]);
  if (!port) {
    why = "\"" + positionals[1] + "\" is not a port number (1 to 65535)";
    return std::nullopt;
  }
  options.port = *port;
  return options;
}

// The path the settings choose now, as the library names it.
std::string ReadRoute() {
  std::string text(128, '\0');
  const size_t length = qbsocks_route(&text[0], text.size());
  if (length >= text.size()) {
    text.assign(length + 1, '\0');
    qbsocks_route(&text[0], text.size());
  }
  text.resize(length);
  return text;
}

// "direct: why" is the direct path with the reason the settings turn a
// switched-on proxy off; every other text is a path alone.
struct Route {
  std::string path;
  std::string whyDirect;
};

Route SplitRoute(const std::string& text) {
  const std::string direct = "direct: ";
  if (text.compare(0, direct.size(), direct) != 0) return {text, {}};
  return {"direct", text.substr(direct.size())};
}

// One line on standard error. Through stdio, not iostreams: a tool that
// may start for every ssh session does not pay for their set-up.
void Say(const std::string& line) { std::fprintf(stderr, "qbsocks-cat: %s\n", line.c_str()); }

int Fail(const std::string& why) {
  Say(why);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  qbcat::PrepareStandardStreams();
  std::string why;
  const auto options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc), why);
  if (!options) {
    Say(why);
    std::fputs(qbtool::TryHelpLine("qbsocks-cat").c_str(), stderr);
    return 1;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::fputs(qbtool::ReleaseLine("qbsocks-cat").c_str(), stdout);
    return 0;
  }
  // Before connecting: an sshd counts a connection dropped unused (fail2ban too).
  if (options->passSocket && qbcat::WhyNoSocketPassing()) return Fail(qbcat::WhyNoSocketPassing());

  const std::string target = TargetText(options->host, options->port);
  if (!AfxSocketInit()) return Fail("cannot start the socket layer");
  const Route route = SplitRoute(ReadRoute());
  if (options->verbose) {
    const std::string because = route.whyDirect.empty() ? "" : ": the proxy is switched on, but " + route.whyDirect;
    Say("connecting to " + target + " (" + route.path + ")" + because);
  }
  uintptr_t handle = QBSOCKS_NO_HANDLE;
  qbsocks_connect_options connectOptions = {sizeof(connectOptions), options->waitMs, nullptr};
  qbsocks_outcome outcome = {};
  outcome.size = sizeof(outcome);
  const int result = qbsocks_connect_ex(options->host.c_str(), options->port, &connectOptions, &handle, &outcome);
  const char* reason = outcome.reason;
  if (options->verbose && result != QBSOCKS_OK) Say(FactsInWords(outcome));
  if (result == QBSOCKS_NO_SOCKET) return Fail(reason);
  if (result == QBSOCKS_SETTINGS_UNREADABLE) return Fail("cannot connect to " + target + ": " + reason);
  if (result != QBSOCKS_OK) return Fail("cannot connect to " + target + " (" + route.path + "): " + reason);
  if (options->passSocket) {
    const std::string failure = qbcat::PassSocketOnStandardOutput(static_cast<SOCKET>(handle));
    if (!failure.empty()) return Fail(target + ": " + failure);
    if (options->verbose) Say("connected to " + target + ", socket passed on");
    return 0;
  }
  const auto socket = std::make_shared<CAsyncSocket>();
  if (!socket->Attach(static_cast<SOCKET>(handle))) {
    return Fail("cannot take over the socket (" + qbcat::ErrorText("socket error", WSAGetLastError()) + ")");
  }
  if (options->verbose) Say("connected to " + target);

  const std::string failure = qbcat::RelayStandardStreams(socket);
  if (!failure.empty()) return Fail(target + ": " + failure);
  return 0;
}
