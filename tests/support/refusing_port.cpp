#include "support/servers.h"
#include "support/stream_io.h"

namespace qbtest {

RefusingPort::RefusingPort() { fd_ = BindLoopback(port_, false); }

RefusingPort::~RefusingPort() {
  if (fd_ != kNoSocket) CloseNativeSocket(fd_);
}

}  // namespace qbtest
