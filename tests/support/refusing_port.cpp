#include <stdexcept>

#include "support/servers.h"
#include "support/test_platform.h"

namespace qbtest {

RefusingPort::RefusingPort() {
  NativeSocket s = OpenTcpSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (s == kNoSocket || bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (s != kNoSocket) CloseNativeSocket(s);
    throw std::runtime_error("bind 127.0.0.1:0");
  }
  fd_ = s;
  port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
  if (fd_ != kNoSocket) CloseNativeSocket(fd_);
}

}  // namespace qbtest
