// The path CSocks::Connect is going to take, read from the same settings
// with the same rules, so that qbsocks-cat can name it in its messages.
#ifndef QBSOCKS_TOOLS_CAT_PROXY_ROUTE_H
#define QBSOCKS_TOOLS_CAT_PROXY_ROUTE_H

#include <string>

namespace qbcat {

struct ProxyRoute {
  bool viaProxy = false;
  unsigned version = 0;   // 4 or 5 when viaProxy
  std::string server;
  unsigned port = 0;      // the low 16 bits, as the connect uses them
  std::string user;       // SOCKS5 user name, may be empty
};

// What a freshly constructed CSocks decides from the current settings.
ProxyRoute ReadProxyRoute();

// "direct", "SOCKS4 proxy 127.0.0.1:1080", "SOCKS5 proxy 127.0.0.1:1080 as alice".
std::string Describe(const ProxyRoute& route);

}  // namespace qbcat

#endif  // QBSOCKS_TOOLS_CAT_PROXY_ROUTE_H
