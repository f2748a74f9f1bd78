// qbsocks-cat.exe run as a Windows user runs it, under Wine, with the
// settings in Wine's registry: to the echo target of linux_servers.py
// directly and through each of its proxies, its standard streams pipes
// (the input read by a thread of its own, its end passed on as a half
// close); and the reason it names for a refused password.
#include <gtest/gtest.h>

#include <string>

#include "support/linux_servers.h"
#include "support/proxy_paths.h"
#include "support/scripted_peer.h"
#include "support/stream_io.h"
#include "support/temp_hive.h"
#include "support/wire.h"
#include "tools/tool_process.h"

namespace {

// qbsocks-cat.exe sits beside this program.
std::string CatPath() {
  char self[MAX_PATH];
  const DWORD size = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path(self, size);
  return path.substr(0, path.find_last_of("\\/") + 1) + "qbsocks-cat.exe";
}

qbtest::ToolResult Cat(const std::vector<std::string>& args, const std::string& input, size_t closeInputAfterOutput) {
  qbtest::ToolRun run;
  run.args = args;
  run.input = input;
  run.closeInputAfterOutput = closeInputAfterOutput;
  return qbtest::RunTool(CatPath(), run);
}

bool Contains(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

class WineCatPath : public testing::TestWithParam<qbtest::ProxyPath> {
 protected:
  void SetUp() override {
    echoPort_ = std::to_string(qbtest::EchoPortFromServers());
    if (GetParam().daemon != qbtest::Daemon::None) WriteSettings(hive_, qbtest::SettingsFromServers(GetParam()));
  }

  qbtest::TempHive hive_;
  std::string echoPort_;
};

TEST_P(WineCatPath, RelaysBothWaysAndNamesThePath) {
  const qbtest::ProxyPath& path = GetParam();
  const std::string payload = qbtest::RandomBytes(256 * 1024, 9);
  const qbtest::ToolResult r = Cat({"-v", "127.0.0.1", echoPort_}, payload, payload.size());
  EXPECT_EQ(r.exitCode, 0) << qbtest::Describe(r);
  EXPECT_TRUE(r.out == payload) << qbtest::Describe(r);
  const std::string named =
      path.daemon == qbtest::Daemon::None ? "(direct)" : "(SOCKS" + std::to_string(path.version);
  EXPECT_TRUE(Contains(r.err, named)) << r.err;

  // microsocks drops the whole connection at a half close.
  if (path.daemon == qbtest::Daemon::Microsocks || qbtest::WithPassword(path)) return;
  const qbtest::ToolResult halfClosed = Cat({"127.0.0.1", echoPort_}, payload, 0);
  EXPECT_EQ(halfClosed.exitCode, 0) << qbtest::Describe(halfClosed);
  EXPECT_TRUE(halfClosed.out == payload) << qbtest::Describe(halfClosed);
}

INSTANTIATE_TEST_SUITE_P(Paths, WineCatPath, testing::ValuesIn(qbtest::DirectAndProxyPaths()), qbtest::PathName());

// The server ends its side while the input stays open until the output
// has ended (as ssh holds a ProxyCommand's input). A socket that is
// standard input too stays open while the input is read: its input ends
// once "bye" is out.
TEST(WineCat, PassesThePeersEndOnWhileInputStaysOpen) {
  for (const auto streams : {qbtest::ToolRun::Streams::kPipes, qbtest::ToolRun::Streams::kOneSocket}) {
    SCOPED_TRACE(static_cast<int>(streams));
    qbtest::TempHive hive;
    qbtest::ScriptedPeer server({qbtest::PeerStep::Send("bye"), qbtest::PeerStep::Close()});
    qbtest::ToolRun run{
        {"127.0.0.1", std::to_string(server.port())}, "", SIZE_MAX, std::chrono::seconds(60), streams};
    if (streams == qbtest::ToolRun::Streams::kOneSocket) run.closeInputAfterOutput = 3;
    const qbtest::ToolResult r = qbtest::RunTool(CatPath(), run);
    EXPECT_EQ(r.exitCode, 0) << qbtest::Describe(r);
    EXPECT_EQ(r.out, "bye");
  }
}

TEST(WineCat, NamesTheReasonForARefusedPassword) {
  qbtest::TempHive hive;
  const uint16_t proxyPort = qbtest::ProxyPortFromServers(qbtest::Daemon::MicrosocksWithPassword);
  WriteSettings(hive, qbtest::ProxyAt(proxyPort, 5, qbtest::kProxyUser, "wrong-password"));
  const std::string echoPort = std::to_string(qbtest::EchoPortFromServers());
  const std::string target = "127.0.0.1:" + echoPort;
  const qbtest::ToolResult r = Cat({"127.0.0.1", echoPort}, "", 0);
  EXPECT_EQ(r.exitCode, 1) << qbtest::Describe(r);
  EXPECT_EQ(r.out, "");
  // One line; the C run-time writes it with Windows' line end.
  const std::string proxy = "SOCKS5 proxy 127.0.0.1:" + std::to_string(proxyPort);
  EXPECT_EQ(r.err, "qbsocks-cat: cannot connect to " + target + " (" + proxy + " as " + qbtest::kProxyUser +
                       "): " + proxy + ": " + qbtest::kAuthFailure + "\r\n");
}

}  // namespace
