#include "connecting_socket.h"

#include "current_user.h"

#include <utility>
#include <vector>

namespace qbsocks_c {

namespace {

// Whether the user switched the proxy on ("ProxyEnable", a non-zero
// REG_DWORD), before the other values had their say. ReadRegistry keeps
// only the outcome, so this one value is asked for again to tell "switched
// off" from "switched on but turned off by another value".
bool ProxySwitchedOn() {
  HKEY hKey = NULL;
  if (qbplatform::OpenCurrentUserKey("Software\\Quillbrook\\Game\\Share\\Proxy", &hKey) != ERROR_SUCCESS) {
    return false;
  }
  DWORD dwType = REG_NONE, dwValue = 0, cbData = sizeof(dwValue);
  const bool on = RegQueryValueExA(hKey, "ProxyEnable", NULL, &dwType, reinterpret_cast<LPBYTE>(&dwValue),
                                   &cbData) == ERROR_SUCCESS &&
                  dwType == REG_DWORD && cbData == sizeof(dwValue) && dwValue != 0;
  RegCloseKey(hKey);
  return on;
}

}  // namespace

std::string ConnectingSocket::ReadRoute() {
  const bool switchedOn = ProxySwitchedOn();
  ReadRegistry();
  return DescribeRoute(switchedOn);
}

BOOL ConnectingSocket::ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) {
  const BOOL bConnected = CSocks::ConnectHelper(lpSockAddr, nSockAddrLen);
  reached_ = bConnected != FALSE;
  return bConnected;
}

// From the fields as ReadRegistry left them, with the reasons in the order
// in which it checks them.
std::string ConnectingSocket::DescribeRoute(bool switchedOn) const {
  if (m_bProxyEnable) {
    std::string text = "SOCKS" + std::to_string(m_nSocksVersion) + " proxy " + m_szSocksServer + ":" +
                       std::to_string(m_nSocksPort & 0xFFFFu);  // the bits the connect uses
    if (m_nSocksVersion == 5 && m_szUserName[0] != '\0') text += std::string(" as ") + m_szUserName;
    return text;
  }
  std::vector<std::string> why;
  if (switchedOn) {
    if (m_szSocksServer[0] == '\0') why.push_back("SocksServer is empty");
    if (m_nSocksPort == 0) why.push_back("SocksPort is 0");
    if (m_nSocksVersion != 4 && m_nSocksVersion != 5) {
      why.push_back("SocksVersion is " + std::to_string(m_nSocksVersion) + ", not 4 or 5");
    }
  }
  std::string text = "direct";
  for (size_t i = 0; i < why.size(); ++i) text += (i == 0 ? ": " : "; ") + why[i];
  return text;
}

std::string SocketErrorInWords(int error) {
  static const std::pair<int, const char*> kTexts[] = {
      {WSAECONNREFUSED, "connection refused"},
      {WSAETIMEDOUT, "timed out"},
      {WSAEHOSTUNREACH, "host unreachable"},
      {WSAENETUNREACH, "network unreachable"},
      {WSAHOST_NOT_FOUND, "host name not found"},
      {WSATRY_AGAIN, "name lookup failed for now; try again"},
      {WSANO_DATA, "the name has no IPv4 address"},
      {WSANO_RECOVERY, "name lookup failed"},
      {WSAECONNRESET, "connection reset"},
      {WSAECONNABORTED, "connection aborted"},
      {WSAEADDRNOTAVAIL, "address not available"},
      {WSAEACCES, "permission denied"},
      {WSAEMFILE, "too many open sockets"},
      {WSAENOBUFS, "no buffer space for another socket"},
      {WSANOTINITIALISED, "the socket layer is not started (WSAStartup or AfxSocketInit)"},
  };
  for (const auto& [number, text] : kTexts)
    if (number == error) return text;
  return "socket error " + std::to_string(error);
}

}  // namespace qbsocks_c
