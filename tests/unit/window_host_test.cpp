// On Windows: CSocks on the thread of a window, while another thread
// repaints the window, asks it to quit or asks whether it hangs (the cases
// are the MSVC-ABI host's too).
#include "csocks_fixture.h"
#include "support/window_host.h"

#include <cstdio>

namespace qbtest {
namespace {

TempHive* g_pHive = nullptr;

bool WriteProxySettings(UINT port) {
  WriteSettings(*g_pHive, ProxyAt(static_cast<uint16_t>(port), 5));
  return true;
}

TEST(WindowHost, ConnectOnAWindowThreadPumpsItsMessages) {
  ASSERT_TRUE(StartSocketLayer());
  TempHive hive;
  g_pHive = &hive;
  for (const window_host::WindowCase& c : window_host::kWindowCases) {
    SCOPED_TRACE(c.lpszName);
    const window_host::WindowOutcome outcome = window_host::RunWindowCase(c, WriteProxySettings);
    window_host::CheckWindowOutcome(c, outcome, [](bool ok, const char* what) { EXPECT_TRUE(ok) << what; });
    std::printf(
        "%s: Connect returned %d in %lu ms, %lu ms after the first act, %d turns;"
        " hung %d of %d\n",
        c.lpszName, outcome.nConnected, static_cast<unsigned long>(outcome.dwConnectMs),
        static_cast<unsigned long>(outcome.dwAfterFirstActMs), outcome.nTurns, outcome.nHungAnswers,
        outcome.nHungChecks);
  }
  g_pHive = nullptr;
}

}  // namespace
}  // namespace qbtest
