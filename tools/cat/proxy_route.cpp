#include "proxy_route.h"

namespace qbcat {

ProxyRoute CatSocket::ReadRoute() {
  ReadRegistry();
  return Route();
}

ProxyRoute CatSocket::Route() const {
  ProxyRoute route;
  route.viaProxy = m_bProxyEnable != 0;
  route.version = m_nSocksVersion;
  route.server = m_szSocksServer;  // ReadRegistry leaves every text field terminated
  route.port = m_nSocksPort & 0xFFFFu;
  route.user = m_szUserName;
  return route;
}

std::string Describe(const ProxyRoute& route) {
  if (!route.viaProxy) return "direct";
  std::string text = "SOCKS" + std::to_string(route.version) + " proxy " + route.server + ":" +
                     std::to_string(route.port);
  if (route.version == 5 && !route.user.empty()) text += " as " + route.user;
  return text;
}

}  // namespace qbcat
