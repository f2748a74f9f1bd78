// The C module's reporting hook, linked in place of the library's (which
// keeps nothing), as the module carries CSocks's objects itself: the
// connect running on this thread keeps the last text, so that a failed
// connect can say in the library's own words why; outside one, it is
// dropped.
#include "connecting_socket.h"

int CSocks::MyMessageBox(const char* lpszText) {
  qbsocks_c::ConnectingSocket* socket = qbsocks_c::ConnectingSocket::Running();
  if (socket != NULL) socket->KeepReportedText(lpszText != NULL ? lpszText : "");
  return 1;
}
