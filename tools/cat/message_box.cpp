// qbsocks-cat's reporting hook, linked in place of the library's (which
// keeps nothing), the way the test builds link theirs: it keeps the last
// text, so that a failed connect can say in the library's own words why.
#include "proxy_route.h"

namespace {
std::string reported;  // the tool connects on one thread only
}

int CSocks::MyMessageBox(const char* lpszText) {
  reported = lpszText != nullptr ? lpszText : "";
  return 1;
}

namespace qbcat {

std::string TakeReportedText() {
  std::string text;
  text.swap(reported);
  return text;
}

}  // namespace qbcat
