// Mirrors CSocks::ReadRegistry for an object that has read nothing yet:
// strings must be REG_SZ and fit their field with the terminator, numbers
// must be 4-byte REG_DWORDs; a missing key or ProxyEnable, an empty server,
// port 0 or a version other than 4 and 5 mean a direct connection.
#include "proxy_route.h"

#include "win32.h"

#include <cstring>
#include <optional>

namespace qbcat {

namespace {

const char kProxyKey[] = "Software\\Quillbrook\\Game\\Share\\Proxy";

std::optional<DWORD> QueryDword(HKEY key, const char* name) {
  DWORD type = REG_NONE;
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value) {
    return std::nullopt;
  }
  return value;
}

std::string QueryString(HKEY key, const char* name, DWORD fieldSize) {
  char buffer[64] = {};
  DWORD type = REG_NONE;
  DWORD size = fieldSize;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ || std::memchr(buffer, '\0', fieldSize) == nullptr) {
    return {};
  }
  return buffer;
}

}  // namespace

ProxyRoute ReadProxyRoute() {
  ProxyRoute route;
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kProxyKey, &key) != ERROR_SUCCESS) return route;
  const DWORD port = QueryDword(key, "SocksPort").value_or(0);
  route.server = QueryString(key, "SocksServer", 64);
  const DWORD enable = QueryDword(key, "ProxyEnable").value_or(0);
  route.version = QueryDword(key, "SocksVersion").value_or(0);
  route.user = QueryString(key, "UserName", 32);
  RegCloseKey(key);

  route.port = port & 0xFFFFu;
  route.viaProxy = enable != 0 && !route.server.empty() && port != 0 && (route.version == 4 || route.version == 5);
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
