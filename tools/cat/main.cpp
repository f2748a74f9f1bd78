// qbsocks-cat: a netcat whose connection is made by CSocks, so the current
// user's proxy settings decide whether it goes direct or through SOCKS4 or
// SOCKS5. Works as ssh's ProxyCommand.
#include "CSocks.h"
#include "proxy_route.h"
#include "relay.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kUsage[] = R"(Usage: qbsocks-cat [-v] HOST PORT
Connects to HOST:PORT with QBSocks32 (directly, or through the SOCKS4 or SOCKS5
proxy the current user's settings name), then copies standard input to the
connection and the connection to standard output until both have ended.

  -v          say on standard error which path is taken before connecting
  -h, --help  show this text

As ssh's ProxyCommand:
  ssh -o ProxyCommand='qbsocks-cat %h %p' user@host

The settings are the values of HKEY_CURRENT_USER\Software\Quillbrook\Game\Share\Proxy:
set them with qbsocks-reg on Linux (see qbsocks-reg --help), with regedit or
reg.exe on Windows.

Exit status: 0 after a successful connection, 1 when the connection cannot be
made or a stream fails, with one line on standard error. A failed connect's
line names the path tried and ends with the reason: the text QBSocks32
reported for the failing SOCKS step, as it spells it (for example
"Username/password subnegotition failure"), or the socket error in words
where there was none (a refused proxy, a direct connect):
  qbsocks-cat: cannot connect to HOST:PORT (SOCKS5 proxy 127.0.0.1:1080 as alice): REASON
)";

struct Options {
  bool verbose = false;
  bool help = false;
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

std::optional<Options> ParseArguments(const std::vector<std::string>& args, std::string& why) {
  Options options;
  std::vector<std::string> positionals;
  for (const std::string& arg : args) {
    if (arg == "-v") {
      options.verbose = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    } else if (arg.size() > 1 && arg[0] == '-') {
      why = "unknown option " + arg;
      return std::nullopt;
    } else {
      positionals.push_back(arg);
    }
  }
  if (positionals.size() != 2 || positionals[0].empty()) {
    why = "expected HOST and PORT; see qbsocks-cat --help";
    return std::nullopt;
  }
  options.host = positionals[0];
  const auto port = ParsePort(positionals[1]);
  if (!port) {
    why = "\"" + positionals[1] + "\" is not a port number (1 to 65535)";
    return std::nullopt;
  }
  options.port = *port;
  return options;
}

// The socket layer's error in words, for the errors a connect reports.
std::string DescribeSocketError(int error) {
  static const std::pair<int, const char*> kTexts[] = {
      {WSAECONNREFUSED, "connection refused"},      {WSAETIMEDOUT, "timed out"},
      {WSAEHOSTUNREACH, "host unreachable"},        {WSAENETUNREACH, "network unreachable"},
      {WSAHOST_NOT_FOUND, "host name not found"},   {WSATRY_AGAIN, "name lookup failed for now; try again"},
      {WSANO_DATA, "the name has no IPv4 address"}, {WSANO_RECOVERY, "name lookup failed"},
      {WSAECONNRESET, "connection reset"},          {WSAECONNABORTED, "connection aborted"},
      {WSAEADDRNOTAVAIL, "address not available"},  {WSAEACCES, "permission denied"},
  };
  for (const auto& [number, text] : kTexts)
    if (number == error) return text;
  return {};
}

// The library's text for the failing step; where it reported none (the
// proxy or the target refused, a send failed), the socket error.
std::string FailureReason(int socketError) {
  const std::string reported = qbcat::TakeReportedText();
  if (!reported.empty()) return reported;
  const std::string known = DescribeSocketError(socketError);
  if (!known.empty()) return known;
  return "socket error " + std::to_string(socketError);
}

int Fail(const std::string& why) {
  std::cerr << "qbsocks-cat: " << why << '\n';
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  qbcat::PrepareStandardStreams();
  std::string why;
  const auto options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc), why);
  if (!options) return Fail(why);
  if (options->help) {
    std::cout << kUsage;
    return 0;
  }

  const std::string target = options->host + ":" + std::to_string(options->port);
  if (!AfxSocketInit()) return Fail("cannot start the socket layer");
  if (options->verbose) {
    // Read on an object of its own, so that the connecting socket reads the
    // settings as any fresh CSocks does.
    std::cerr << "qbsocks-cat: connecting to " << target << " (" << qbcat::Describe(qbcat::CatSocket().ReadRoute())
              << ")\n";
  }
  const auto socket = std::make_shared<qbcat::CatSocket>();
  if (!socket->Create()) return Fail("cannot create a socket (socket error " + std::to_string(WSAGetLastError()) + ")");
  WSASetLastError(0);
  if (!socket->Connect(options->host.c_str(), options->port)) {
    const int socketError = WSAGetLastError();
    // The fields as Connect's own ReadRegistry left them: the path it took.
    return Fail("cannot connect to " + target + " (" + qbcat::Describe(socket->Route()) +
                "): " + FailureReason(socketError));
  }
  if (options->verbose) std::cerr << "qbsocks-cat: connected to " << target << '\n';

  const std::string failure = qbcat::RelayStandardStreams(socket);
  if (!failure.empty()) return Fail(target + ": " + failure);
  return 0;
}
