// The C module's reporting hook, linked in place of the library's (which
// keeps nothing), as the module carries CSocks's objects itself: it keeps
// the last text per thread, so that a failed connect can say in the
// library's own words why.
#include "connecting_socket.h"

#include <string.h>

namespace {
// The texts are the library's fixed messages, all far shorter than this.
thread_local char t_szReported[128];
}  // namespace

int CSocks::MyMessageBox(const char* lpszText) {
  if (lpszText == NULL) lpszText = "";
  strncpy(t_szReported, lpszText, sizeof(t_szReported) - 1);
  t_szReported[sizeof(t_szReported) - 1] = '\0';
  return 1;
}

namespace qbsocks_c {

std::string TakeReportedText() {
  std::string text = t_szReported;
  t_szReported[0] = '\0';
  return text;
}

}  // namespace qbsocks_c
