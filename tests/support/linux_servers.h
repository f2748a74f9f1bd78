// What tests/support/linux_servers.py passes to a Windows test program it
// runs under Wine: the ports of the echo target and of the SOCKS daemons it
// started on the Linux side, and microsocks's user name and password.
#ifndef QBSOCKS_TESTS_SUPPORT_LINUX_SERVERS_H
#define QBSOCKS_TESTS_SUPPORT_LINUX_SERVERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/proxy_paths.h"
#include "support/temp_hive.h"

namespace qbtest {

// The value of a variable linux_servers.py sets; empty (and a failure)
// when the program was not started by it.
inline std::string FromServers(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    ADD_FAILURE() << name << " is not set: run this program through linux_servers.py";
    return "";
  }
  return value;
}

inline uint16_t PortFromServers(const char* name) {
  const std::string text = FromServers(name);
  return static_cast<uint16_t>(text.empty() ? 0 : std::atoi(text.c_str()));
}

inline uint16_t EchoPortFromServers() { return PortFromServers("QBSOCKS_ECHO_PORT"); }

inline uint16_t ProxyPortFromServers(Daemon daemon) {
  switch (daemon) {
    case Daemon::Dante: return PortFromServers("QBSOCKS_DANTE_PORT");
    case Daemon::Microsocks: return PortFromServers("QBSOCKS_MICROSOCKS_PORT");
    case Daemon::MicrosocksWithPassword: return PortFromServers("QBSOCKS_MICROSOCKS_AUTH_PORT");
    case Daemon::None: break;
  }
  return 0;
}

// The settings that send Connect along the path, with the credentials
// microsocks of the password path was started with.
inline ProxySettings SettingsFromServers(const ProxyPath& path) {
  const bool withPassword = WithPassword(path);
  return ProxyAt(ProxyPortFromServers(path.daemon), path.version,
                 withPassword ? FromServers("QBSOCKS_MICROSOCKS_USER") : "",
                 withPassword ? FromServers("QBSOCKS_MICROSOCKS_PASSWORD") : "");
}

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_LINUX_SERVERS_H
