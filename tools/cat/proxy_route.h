// The path a CSocks connect takes, as the library itself decides it: the
// socket qbsocks-cat connects with reads the settings through CSocks's own
// ReadRegistry, so the path it names is the path Connect took.
#ifndef QBSOCKS_TOOLS_CAT_PROXY_ROUTE_H
#define QBSOCKS_TOOLS_CAT_PROXY_ROUTE_H

#include "CSocks.h"

#include <string>

namespace qbcat {

struct ProxyRoute {
  bool viaProxy = false;
  unsigned version = 0;   // 4 or 5 when viaProxy
  std::string server;
  unsigned port = 0;      // the low 16 bits, as the connect uses them
  std::string user;       // SOCKS5 user name, may be empty
};

class CatSocket : public CSocks {
 public:
  // Reads the settings as Connect is about to read them.
  ProxyRoute ReadRoute();
  // The path of the settings read last: after Connect, the one it took.
  ProxyRoute Route() const;
};

// "direct", "SOCKS4 proxy 127.0.0.1:1080", "SOCKS5 proxy 127.0.0.1:1080 as alice".
std::string Describe(const ProxyRoute& route);

// The text CSocks handed its reporting hook since the last call (the
// failing step's message), or empty when it reported nothing.
std::string TakeReportedText();

}  // namespace qbcat

#endif  // QBSOCKS_TOOLS_CAT_PROXY_ROUTE_H
