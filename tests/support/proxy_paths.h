// The paths through real proxies that the interop, fault and tool tests
// take: Dante for SOCKS4 and SOCKS5, microsocks for SOCKS5 without and with
// a user name and password. On Linux a test starts the daemon of its path
// (StartProxy in servers.h); under Wine, linux_servers.py starts them all
// around the test program and passes their ports in the environment.
#ifndef QBSOCKS_TESTS_SUPPORT_PROXY_PATHS_H
#define QBSOCKS_TESTS_SUPPORT_PROXY_PATHS_H

#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "win32.h"

namespace qbtest {

enum class Daemon { None, Dante, Microsocks, MicrosocksWithPassword };

struct ProxyPath {
  const char* name;
  Daemon daemon;
  DWORD version;  // 0 on the direct path
};

// What microsocks of the password path insists on (linux_servers.py starts
// its own with the same and passes them in the environment).
inline constexpr char kProxyUser[] = "alice";
inline constexpr char kProxyPassword[] = "s3cret-pass";

inline constexpr ProxyPath kProxyPaths[] = {
    {"DanteSocks4", Daemon::Dante, 4},
    {"DanteSocks5", Daemon::Dante, 5},
    {"MicrosocksSocks5", Daemon::Microsocks, 5},
    {"MicrosocksSocks5Password", Daemon::MicrosocksWithPassword, 5},
};

inline constexpr ProxyPath kDirectPath{"Direct", Daemon::None, 0};

inline bool WithPassword(const ProxyPath& path) { return path.daemon == Daemon::MicrosocksWithPassword; }

// The proxy paths that carry target names (SOCKS4 refuses a name before it
// sends anything: the unit tables cover that).
inline std::vector<ProxyPath> Socks5Paths() {
  std::vector<ProxyPath> paths;
  for (const ProxyPath& path : kProxyPaths)
    if (path.version == 5) paths.push_back(path);
  return paths;
}

inline std::vector<ProxyPath> DirectAndProxyPaths() {
  std::vector<ProxyPath> paths{kDirectPath};
  paths.insert(paths.end(), std::begin(kProxyPaths), std::end(kProxyPaths));
  return paths;
}

// The credentials the path's settings carry: the password path's, or none.
inline std::string UserFor(const ProxyPath& path) { return WithPassword(path) ? kProxyUser : ""; }
inline std::string PasswordFor(const ProxyPath& path) { return WithPassword(path) ? kProxyPassword : ""; }

inline void PrintTo(const ProxyPath& path, std::ostream* out) { *out << path.name; }

// Names a parameterized test after its path.
struct PathName {
  template <typename ParamInfo>
  std::string operator()(const ParamInfo& info) const {
    return info.param.name;
  }
};

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_PROXY_PATHS_H
