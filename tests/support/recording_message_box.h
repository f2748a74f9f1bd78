// Test builds link this recording MyMessageBox in place of the production
// one, which keeps nothing: the texts a CSocks reported can be read back.
#ifndef QBSOCKS_TESTS_RECORDING_MESSAGE_BOX_H
#define QBSOCKS_TESTS_RECORDING_MESSAGE_BOX_H

#include <string>
#include <vector>

namespace qbtest {

// Texts reported on this thread since the last call, oldest first.
std::vector<std::string> TakeReportedMessages();

// Whether one of those texts was reported while the reporting CSocks's
// socket was still open (a failure closes it first, then reports).
bool ReportedWhileOpen();

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_RECORDING_MESSAGE_BOX_H
