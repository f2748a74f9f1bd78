// What only the platform's system-call table can bring about: a request
// that cannot be sent in full, a logon name the system cannot give, the
// tick count at the very edge of the budget and across its wrap, and the
// close calls of destruction. Also Connect called again on one object
// while the settings change, and the authentication status arriving in
// pieces, dripping or not at all.
#include <cerrno>
#include <cstring>
#include <functional>

#include "csocks_fixture.h"
#include "support/replaced_system_call.h"

namespace qbtest {
namespace {

using qbplatform::SystemCall;
using qbplatform::g_systemCalls;
using std::chrono::milliseconds;

const std::string kAuthAlice = Socks5AuthRequest("alice", "secret");
const std::string kRequest1234 = Socks5Request({1, 2, 3, 4}, 80);
const std::string kGranted = Socks4Reply(0, 90);

// A SOCKS4 CONNECT to 10.0.0.1:80 with this USERID.
std::string Socks4Request10001(const std::string& userId) { return Socks4Request({10, 0, 0, 1}, 80, userId); }

// ---- A request that cannot be sent in full ----

// The send numbered g_failAt (from 1) fails; with g_shortFirst it first
// sends all but its last byte, and the send of that byte fails.
int g_sends = 0;
int g_failAt = 0;
bool g_shortFirst = false;

ssize_t FaultySend(int fd, const void* buffer, size_t length, int flags) {
  const int number = ++g_sends;
  if (number < g_failAt) return ::send(fd, buffer, length, flags);
  if (number == g_failAt && g_shortFirst && length > 1) return ::send(fd, buffer, length - 1, flags);
  errno = ECONNRESET;
  return -1;
}

struct SendFault {
  const char* name;
  DWORD version;
  std::string user, password;
  const char* target;
  PeerScript before;  // the proxy's part up to the request that fails
  int failingSend;
  std::string request;                // the one that fails
  std::vector<std::string> messages;  // only a failed authentication is reported
};

void PrintTo(const SendFault& c, std::ostream* os) { *os << c.name; }

class RequestNotSent : public ::testing::TestWithParam<SendFault> {};

TEST_P(RequestNotSent, ClosesTheSocket) {
  const SendFault& c = GetParam();
  for (bool shortFirst : {false, true}) {
    SCOPED_TRACE(shortFirst ? "short, then failing" : "failing");
    TempHive hive;
    ScriptedPeer proxy(c.before);
    WriteSettings(hive, ProxyAt(proxy.port(), c.version, c.user, c.password));
    TakeReportedMessages();
    g_sends = 0;
    g_failAt = c.failingSend;
    g_shortFirst = shortFirst;
    ProbeSocks socks;
    ASSERT_TRUE(socks.Create());
    {
      ReplacedSystemCall faulty(g_systemCalls.send, &FaultySend);
      EXPECT_EQ(socks.Connect(c.target, 80), 0);
    }
    EXPECT_FALSE(socks.IsOpen());
    EXPECT_EQ(TakeReportedMessages(), c.messages);
    const std::string partial = shortFirst ? c.request.substr(0, c.request.size() - 1) : "";
    EXPECT_EQ(proxy.Received(), ExpectedWire(c.before) + partial);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachRequest, RequestNotSent,
    ::testing::Values(SendFault{"socks4_request", 4, "", "", "10.0.0.1", {}, 1, Socks4Request({10, 0, 0, 1}, 80), {}},
                      SendFault{"socks5_offer", 5, "", "", "1.2.3.4", {}, 1, kSocks5Offer, {}},
                      SendFault{"socks5_authentication",
                                5,
                                "alice",
                                "secret",
                                "1.2.3.4",
                                {PeerStep::Expect(kSocks5Offer), PeerStep::Send(kPasswordChoice)},
                                2,
                                kAuthAlice,
                                {kAuthFailure}},
                      SendFault{"socks5_connect",
                                5,
                                "",
                                "",
                                "1.2.3.4",
                                {PeerStep::Expect(kSocks5Offer), PeerStep::Send(kNoAuthChoice)},
                                2,
                                kRequest1234,
                                {}}),
    [](const ::testing::TestParamInfo<SendFault>& info) { return info.param.name; });

// ---- The logon name in USERID ----

std::string g_logonName;
bool g_noPasswordEntry = false;

int FakePasswordEntry(uid_t, passwd* entry, char* scratch, size_t size, passwd** found) {
  *found = nullptr;
  if (g_noPasswordEntry) return 0;
  if (g_logonName.size() + 1 > size) return ERANGE;
  std::memcpy(scratch, g_logonName.c_str(), g_logonName.size() + 1);
  *entry = passwd{};
  entry->pw_name = scratch;
  *found = entry;
  return 0;
}

TEST(Socks4UserId, IsTheLogonNameWhenItFitsAndEmptyOtherwise) {
  struct Case {
    const char* name;
    bool noEntry;
    std::string logonName;
    std::string userId;
  };
  const std::string fits(247, 'u'), tooLong(248, 'u');
  const Case cases[] = {{"no name", true, "", ""},
                        {"247 characters", false, fits, fits},
                        {"248 characters", false, tooLong, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_noPasswordEntry = c.noEntry;
    g_logonName = c.logonName;
    ReplacedSystemCall fake(g_systemCalls.getpwuid_r, &FakePasswordEntry);
    RunNegotiationCase({c.name,
                        4,
                        "",
                        "",
                        "10.0.0.1",
                        80,
                        {PeerStep::Expect(Socks4Request10001(c.userId)), PeerStep::Send(kGranted),
                         PeerStep::Expect(kClientHello), PeerStep::Send(kTargetHello)},
                        1,
                        {}});
  }
}

// ---- Destruction ----

TEST(Destruction, ClosesOnlyASocketThatIsOpen) {
  struct Case {
    const char* name;
    std::function<void(ProbeSocks&)> prepare;
    unsigned long closes;
  };
  const Case cases[] = {
      {"never created", [](ProbeSocks&) {}, 0},
      {"closed already",
       [](ProbeSocks& s) {
         ASSERT_TRUE(s.Create());
         s.Close();
       },
       0},
      {"open", [](ProbeSocks& s) { ASSERT_TRUE(s.Create()); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* socks = new ProbeSocks;
    c.prepare(*socks);
    const unsigned long before = CallCount(SystemCall::close);
    delete socks;
    EXPECT_EQ(CallCount(SystemCall::close) - before, c.closes);
  }
}

// ---- The tick count at the edge of the budget ----

// CLOCK_MONOTONIC as the test sets it, in milliseconds: GetTickCount is its
// low 32 bits.
std::atomic<uint64_t> g_clockMs{0};

int SetClock(clockid_t clock, timespec* now) {
  if (clock != CLOCK_MONOTONIC) return ::clock_gettime(clock, now);
  const uint64_t ms = g_clockMs.load();
  now->tv_sec = static_cast<time_t>(ms / 1000);
  now->tv_nsec = static_cast<long>(ms % 1000 * 1000000);
  return 0;
}

// Each wait returns at once and moves the clock to the next of `elapsed`
// (milliseconds since `start`); once they are used up it abandons the wait.
class SteppedClockSocks : public ProbeSocks {
 public:
  uint64_t start = 0;
  std::vector<DWORD> elapsed;
  bool stepping = false;

 protected:
  BOOL PumpMessages(UINT uStopFlag) override {
    if (!stepping) return ProbeSocks::PumpMessages(uStopFlag);
    ++pumps;
    if (static_cast<size_t>(pumps) > elapsed.size()) return FALSE;
    g_clockMs = start + elapsed[pumps - 1];
    return TRUE;
  }
};

TEST(MyReceiveBudgetEdge, ExactlyTenSecondsGoesOnAndOneMoreEnds) {
  struct Case {
    const char* name;
    uint64_t start;
  };
  const Case cases[] = {{"plain", 5000}, {"across the wrap", 0x100000000ull - 4000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempHive hive;  // empty: direct
    ScriptedPeer silent({});
    SteppedClockSocks socks;
    ASSERT_TRUE(socks.Create());
    ASSERT_EQ(socks.Connect("127.0.0.1", silent.port()), 1);
    socks.start = c.start;
    socks.elapsed = {9999, 10000, 10001};
    socks.stepping = true;
    g_clockMs = c.start;
    char buffer[8];
    {
      ReplacedSystemCall clock(g_systemCalls.clock_gettime, &SetClock);
      EXPECT_EQ(socks.MyReceive(buffer, sizeof(buffer), 0), SOCKET_ERROR);
    }
    EXPECT_EQ(socks.pumps, 3) << "the budget ends after 10,001 ms, not at 10,000";
    socks.Close();
  }
}

// ---- Connect again on one object, the settings changed in between ----

enum class Path { kDirect, kSocks4, kSocks5 };

PeerScript ScriptFor(Path path) {
  PeerScript script;
  if (path == Path::kSocks4) {
    script = {PeerStep::Expect(Socks4Request({10, 0, 0, 1}, 80)), PeerStep::Send(kGranted)};
  } else if (path == Path::kSocks5) {
    script = {PeerStep::Expect(kSocks5Offer), PeerStep::Send(kNoAuthChoice), PeerStep::Expect(kRequest1234),
              PeerStep::Send(kSocks5Succeeded)};
  }
  script.push_back(PeerStep::Expect(kClientHello));
  script.push_back(PeerStep::Send(kTargetHello));
  return script;
}

TEST(ConnectAgain, ReadsTheSettingsAfreshEveryTime) {
  struct Step {
    const char* name;
    Path path;
    std::function<void(TempHive&, uint16_t peerPort)> change;
  };
  const char* key = TempHive::kProxyKey;
  const Step steps[] = {
      {"socks5", Path::kSocks5, [](TempHive& h, uint16_t p) { WriteSettings(h, ProxyAt(p, 5)); }},
      {"proxy off", Path::kDirect, [&](TempHive& h, uint16_t) { h.SetDword(key, "ProxyEnable", 0); }},
      {"socks4 at another port", Path::kSocks4,
       [&](TempHive& h, uint16_t p) {
         WriteSettings(h, {1, std::nullopt, p, 4, std::nullopt, std::nullopt});
       }},
      {"version deleted: 4 is kept", Path::kSocks4,
       [&](TempHive& h, uint16_t p) {
         h.DeleteValue(key, "SocksVersion");
         h.SetDword(key, "SocksPort", p);
       }},
      {"server deleted: the old one is kept", Path::kSocks4,
       [&](TempHive& h, uint16_t p) {
         h.DeleteValue(key, "SocksServer");
         h.SetDword(key, "SocksPort", p);
       }},
      {"ProxyEnable deleted", Path::kDirect, [&](TempHive& h, uint16_t) { h.DeleteValue(key, "ProxyEnable"); }},
      {"socks5 again", Path::kSocks5, [](TempHive& h, uint16_t p) { WriteSettings(h, ProxyAt(p, 5)); }},
      {"key deleted", Path::kDirect, [&](TempHive& h, uint16_t) { h.DeleteKey(key); }},
  };
  TempHive hive;
  ProbeSocks socks;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const PeerScript script = ScriptFor(step.path);
    ScriptedPeer peer(script);
    step.change(hive, peer.port());
    ASSERT_TRUE(socks.Create());
    const int result = step.path == Path::kDirect   ? socks.Connect("127.0.0.1", peer.port())
                       : step.path == Path::kSocks4 ? socks.Connect("10.0.0.1", 80)
                                                    : socks.Connect("1.2.3.4", 80);
    ASSERT_EQ(result, 1);
    EXPECT_TRUE(TradeHellos(socks));
    socks.Close();
    EXPECT_EQ(peer.Received(), ExpectedWire(script));
  }
}

// ---- The authentication status: gathered under one budget ----

PeerScript UpToAuthentication() {
  return {PeerStep::Expect(kSocks5Offer), PeerStep::Send(kPasswordChoice), PeerStep::Expect(kAuthAlice)};
}

PeerScript Then(PeerScript script, std::initializer_list<PeerStep> more) {
  script.insert(script.end(), more);
  return script;
}

TEST(AuthenticationStatus, InTwoPiecesIsGathered) {
  RunNegotiationCase({"status_in_two_pieces",
                      5,
                      "alice",
                      "secret",
                      "1.2.3.4",
                      80,
                      Then(UpToAuthentication(),
                           {PeerStep::Send(Bytes({1})), PeerStep::AwaitClientRead(), PeerStep::Send(Bytes({0})),
                            PeerStep::Expect(kRequest1234), PeerStep::Send(kSocks5Succeeded),
                            PeerStep::Expect(kClientHello), PeerStep::Send(kTargetHello)}),
                      1,
                      {}});
}

class AuthenticationBudget : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(AuthenticationBudget, EndsAfterTenSeconds) { RunBudgetCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Slow, AuthenticationBudget,
    ::testing::Values(
        NegotiationCase{"silent", 5, "alice", "secret", "1.2.3.4", 80, UpToAuthentication(), 0, {kAuthFailure}},
        NegotiationCase{"dripping",
                        5,
                        "alice",
                        "secret",
                        "1.2.3.4",
                        80,
                        Then(UpToAuthentication(), {PeerStep::Drip(Bytes({1, 0}), milliseconds(6000))}),
                        0,
                        {kAuthFailure}}),
    [](const ::testing::TestParamInfo<NegotiationCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qbtest
