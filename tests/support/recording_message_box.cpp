#include "support/recording_message_box.h"

#include "CSocks.h"

namespace {
thread_local std::vector<std::string> reported;
thread_local bool reported_while_open = false;
}

int CSocks::MyMessageBox(const char* lpszText) {
  reported.emplace_back(lpszText != nullptr ? lpszText : "");
  reported_while_open |= m_hSocket != INVALID_SOCKET;
  return 1;
}

namespace qbtest {

std::vector<std::string> TakeReportedMessages() {
  std::vector<std::string> out;
  out.swap(reported);
  reported_while_open = false;
  return out;
}

bool ReportedWhileOpen() { return reported_while_open; }

}  // namespace qbtest
