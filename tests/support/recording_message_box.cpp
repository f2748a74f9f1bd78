#include "support/recording_message_box.h"

#include "CSocks.h"

namespace {
thread_local std::vector<std::string> reported;
}

int CSocks::MyMessageBox(const char* lpszText) {
  reported.emplace_back(lpszText != nullptr ? lpszText : "");
  return 1;
}

namespace qbtest {

std::vector<std::string> TakeReportedMessages() {
  std::vector<std::string> out;
  out.swap(reported);
  return out;
}

}  // namespace qbtest
