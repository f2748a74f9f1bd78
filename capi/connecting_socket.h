// The CSocks that the C interface connects with: CSocks itself, with a look
// at which of its steps failed. Everything here turns CSocks's outcome into
// the C interface's results and words, in one place.
#ifndef QBSOCKS_CAPI_CONNECTING_SOCKET_H
#define QBSOCKS_CAPI_CONNECTING_SOCKET_H

#include "CSocks.h"

#include <string>

namespace qbsocks_c {

class ConnectingSocket : public CSocks {
 public:
  // Reads the settings as Connect is about to read them, all but the
  // password, and names the path they choose (qbsocks_route's text).
  std::string ReadRoute();

  // After Connect: whether its settings turned the proxy on, and whether
  // the TCP connect it made (to the proxy, or to the target) succeeded.
  bool ProxyOn() const { return m_bProxyEnable != 0; }
  bool Reached() const { return reached_; }

 protected:
  BOOL ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) override;

 private:
  std::string DescribeRoute(bool switchedOn) const;

  bool reached_ = false;
};

// The text CSocks handed its reporting hook on this thread since the last
// call (the failing step's message), or empty when it reported none.
std::string TakeReportedText();

// A socket error in words ("connection refused"), or "socket error N".
std::string SocketErrorInWords(int error);

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_CONNECTING_SOCKET_H
