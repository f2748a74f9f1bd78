// ReadRegistry over the hive: which settings turn the proxy on, and what a
// field keeps when its value is missing, oversize or of the wrong kind.
#include "csocks_fixture.h"
#include "settings/proxy_settings.h"
#include "settings/current_user.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#ifdef _WIN32
#include <sddl.h>
#else
#include "support/replaced_system_call.h"
#endif

namespace qbtest {
namespace {

struct Fields {
  BOOL enable;
  std::string server;
  UINT port;
  UINT version;
  std::string user;
  std::string password;
};

bool operator==(const Fields& a, const Fields& b) {
  return (a.enable != 0) == (b.enable != 0) && a.server == b.server && a.port == b.port && a.version == b.version &&
         a.user == b.user && a.password == b.password;
}

void PrintTo(const Fields& f, std::ostream* os) {
  *os << "{enable " << f.enable << ", server '" << f.server << "', port " << f.port << ", version " << f.version
      << ", user '" << f.user << "', password '" << f.password << "'}";
}

// Fields are compared up to their first NUL; the raw check below makes sure
// each one has a NUL within its width.
Fields Read(const ProbeSocks& s) {
  return {s.m_bProxyEnable, s.m_szSocksServer, s.m_nSocksPort, s.m_nSocksVersion, s.m_szUserName, s.m_szPassword};
}

void ExpectTerminated(const ProbeSocks& s) {
  EXPECT_NE(memchr(s.m_szSocksServer, 0, sizeof(s.m_szSocksServer)), nullptr);
  EXPECT_NE(memchr(s.m_szUserName, 0, sizeof(s.m_szUserName)), nullptr);
  EXPECT_NE(memchr(s.m_szPassword, 0, sizeof(s.m_szPassword)), nullptr);
}

const std::string k63(63, 's');
const std::string k64(64, 's');
const std::string k31(31, 'u');
const std::string k32(32, 'u');

struct SettingsCase {
  const char* name;
  std::function<void(TempHive&)> store;
  Fields expected;
  std::string route = "";  // what the C interface's route says of them, where the row pins it
};

void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

std::function<void(TempHive&)> Store(ProxySettings settings) {
  return [settings](TempHive& hive) { WriteSettings(hive, settings); };
}

std::function<void(TempHive&)> StoreRaw(ProxySettings settings, const char* value, DWORD type, std::string bytes) {
  return [=](TempHive& hive) {
    WriteSettings(hive, settings);
    hive.SetRaw(kProxyKey, value, type, std::vector<BYTE>(bytes.begin(), bytes.end()));
  };
}

std::string Dword(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

const ProxySettings kValid{1, "10.0.0.5", 1080, 5, "user", "pass"};
const ProxySettings kNoVersion{1, "10.0.0.5", 1080, std::nullopt, "user", "pass"};

// kValid with a ProxyEnable the reader cannot take: the proxy off, every
// other field read, and the route saying how it is stored.
SettingsCase EnableStoredAs(const char* name, DWORD type, std::string bytes, const char* how) {
  return {name,
          StoreRaw(kValid, "ProxyEnable", type, std::move(bytes)),
          {0, "10.0.0.5", 1080, 5, "user", "pass"},
          std::string("direct: ProxyEnable is stored ") + how};
}

class ReadRegistryTable : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(ReadRegistryTable, FillsFields) {
  TempHive hive;
  GetParam().store(hive);
  ProbeSocks socks;
  socks.ReadRegistry();
  EXPECT_EQ(Read(socks), GetParam().expected);
  ExpectTerminated(socks);
  if (GetParam().route.empty()) return;
  qbsettings::ProxySettings settings{};
  char route[256];
  ASSERT_EQ(qbsettings::ReadProxySettings(&settings, qbsettings::kCheckPassword), ERROR_SUCCESS);
  qbsettings::DescribeRoute(settings, route, sizeof(route));
  EXPECT_EQ(route, GetParam().route);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadRegistryTable,
    ::testing::Values(
        SettingsCase{"all_valid",
                     Store(kValid),
                     {1, "10.0.0.5", 1080, 5, "user", "pass"},
                     "SOCKS5 proxy 10.0.0.5:1080 as user"},
        SettingsCase{"ipv6_server_bracketed_in_route",
                     Store({1, "::1", 1080, 4, "", ""}),
                     {1, "::1", 1080, 4, "", ""},
                     "SOCKS4 proxy [::1]:1080"},
        SettingsCase{"enable_2_is_on", Store({2, "10.0.0.5", 1080, 5, "", ""}), {1, "10.0.0.5", 1080, 5, "", ""}},
        SettingsCase{"port_above_65535_passes",
                     Store({1, "10.0.0.5", 0x10438, 4, "", ""}),
                     {1, "10.0.0.5", 0x10438, 4, "", ""}},
        SettingsCase{"version_6",
                     Store({1, "10.0.0.5", 1080, 6, "", ""}),
                     {0, "10.0.0.5", 1080, 6, "", ""},
                     "direct: SocksVersion is 6, not 4 or 5"},
        SettingsCase{"version_missing", Store(kNoVersion), {0, "10.0.0.5", 1080, 0, "user", "pass"}},
        SettingsCase{"longest_strings_fit", Store({1, k63, 1080, 5, k31, k31}), {1, k63, 1080, 5, k31, k31}},
        // A value that does not fit its field with its terminator counts as
        // missing: never cut, never left unterminated.
        SettingsCase{"server_too_long",
                     Store({1, k64, 1080, 5, "", ""}),
                     {0, "", 1080, 5, "", ""},
                     "direct: SocksServer is longer than 63 bytes"},
        SettingsCase{"user_too_long", Store({1, "h", 1080, 5, k32, "p"}), {1, "h", 1080, 5, "", "p"}},
        SettingsCase{"password_too_long", Store({1, "h", 1080, 5, "u", k32}), {1, "h", 1080, 5, "u", ""}},
        SettingsCase{"server_without_terminator",
                     StoreRaw(kNoVersion, "SocksServer", REG_SZ, std::string(64, 'x')),
                     {0, "", 1080, 0, "user", "pass"}},
        SettingsCase{"short_string_without_terminator_is_terminated",
                     StoreRaw(kValid, "UserName", REG_SZ, "bob"),
                     {1, "10.0.0.5", 1080, 5, "bob", "pass"}},
        // A ProxyEnable the reader cannot take is the user's own value, not
        // a failed read: the proxy is off, and the route says why, alone.
        EnableStoredAs("enable_as_string", REG_SZ, "1", "as REG_SZ, not REG_DWORD"),
        SettingsCase{"enable_as_string_beside_a_missing_version",
                     StoreRaw(kNoVersion, "ProxyEnable", REG_SZ, std::string("1\0", 2)),
                     {0, "10.0.0.5", 1080, 0, "user", "pass"},
                     "direct: ProxyEnable is stored as REG_SZ, not REG_DWORD"},
        EnableStoredAs("enable_as_binary_4", REG_BINARY, Dword(1), "as REG_BINARY, not REG_DWORD"),
        EnableStoredAs("enable_as_qword", 11, Dword(1) + Dword(0), "as REG_QWORD, not REG_DWORD"),
        EnableStoredAs("enable_as_2_byte_dword", REG_DWORD, std::string("\1\0", 2), "in 2 bytes, not 4"),
        SettingsCase{"port_as_2_byte_dword",
                     StoreRaw(kNoVersion, "SocksPort", REG_DWORD, "\x38\x04"),
                     {0, "10.0.0.5", 0, 0, "user", "pass"}},
        SettingsCase{"version_as_8_bytes",
                     StoreRaw(kNoVersion, "SocksVersion", REG_BINARY, Dword(5) + Dword(0)),
                     {0, "10.0.0.5", 1080, 0, "user", "pass"}},
        SettingsCase{"server_as_binary",
                     StoreRaw(kNoVersion, "SocksServer", REG_BINARY, std::string("10.0.0.9\0", 9)),
                     {0, "", 1080, 0, "user", "pass"}},
        SettingsCase{"password_as_expand_sz",
                     StoreRaw(kValid, "Password", REG_EXPAND_SZ, std::string("pw\0", 3)),
                     {1, "10.0.0.5", 1080, 5, "user", ""}}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return info.param.name; });

// The settings that turn the proxy off (shared with the tool's tests): a
// fresh object keeps every value that was read, with the switch off.
class ProxyOffTable : public ::testing::TestWithParam<NamedSettings> {};

TEST_P(ProxyOffTable, TurnsTheSwitchOffAndKeepsTheValues) {
  TempHive hive;
  const std::optional<ProxySettings> stored = GetParam().settings(1080);
  if (stored) WriteSettings(hive, *stored);
  const ProxySettings s = stored.value_or(ProxySettings{});
  ProbeSocks socks;
  socks.ReadRegistry();
  EXPECT_EQ(Read(socks), (Fields{0, s.server.value_or(""), s.port.value_or(0), s.version.value_or(0),
                                 s.user.value_or(""), s.password.value_or("")}));
}

INSTANTIATE_TEST_SUITE_P(Table, ProxyOffTable, ::testing::ValuesIn(kProxyOffSettings),
                         [](const ::testing::TestParamInfo<NamedSettings>& info) { return info.param.name; });

// Between two reads on one object, a deleted value leaves its field as the
// first read set it, while a deleted ProxyEnable turns the proxy off, and a
// deleted key leaves every other field exactly as it was.
TEST(ReadRegistry, KeepsFieldsOfDeletedValues) {
  TempHive hive;
  WriteSettings(hive, kValid);
  ProbeSocks socks;
  socks.ReadRegistry();
  ASSERT_EQ(Read(socks), (Fields{1, "10.0.0.5", 1080, 5, "user", "pass"}));

  hive.DeleteValue(kProxyKey, "SocksServer");
  hive.DeleteValue(kProxyKey, "Password");
  hive.SetString(kProxyKey, "UserName", std::string(40, 'x'));  // oversize: keeps "user"
  socks.ReadRegistry();
  EXPECT_EQ(Read(socks), (Fields{1, "10.0.0.5", 1080, 5, "user", "pass"}));

  hive.DeleteValue(kProxyKey, "ProxyEnable");
  socks.ReadRegistry();
  EXPECT_EQ(Read(socks), (Fields{0, "10.0.0.5", 1080, 5, "user", "pass"}));
}

TEST(ReadRegistry, MissingKeyChangesOnlyTheSwitch) {
  TempHive hive;
  WriteSettings(hive, kValid);
  ProbeSocks socks;
  socks.ReadRegistry();
  hive.DeleteKey(kProxyKey);
  socks.ReadRegistry();
  EXPECT_EQ(Read(socks), (Fields{0, "10.0.0.5", 1080, 5, "user", "pass"}));
}

TEST(ReadRegistry, ConstructionValues) {
  TempHive hive;
  ProbeSocks socks;
  EXPECT_EQ(Read(socks), (Fields{1, "", 0, 0, "", ""}));
  EXPECT_FALSE(socks.IsOpen());
  // Zero-filled over their whole width, not just terminated.
  EXPECT_EQ(std::string(socks.m_szSocksServer, sizeof(socks.m_szSocksServer)),
            std::string(sizeof(socks.m_szSocksServer), '\0'));
  EXPECT_EQ(std::string(socks.m_szPassword, sizeof(socks.m_szPassword)),
            std::string(sizeof(socks.m_szPassword), '\0'));
}

// Unreadable settings fail Connect as a proxy failure does (closed, with a
// text), neither direct nor to the proxy, while the row's fault is held.
struct UnreadableCase {
  const char* name;
  std::shared_ptr<void> (*fault)();
  const char* why;
};
#ifndef _WIN32
// The process at its descriptor limit (through the call table: a real limit
// also starves the sanitizers' own checks).
std::shared_ptr<void> AtDescriptorLimit() {
  using Open = int (*)(const char*, int, mode_t);
  return std::make_shared<ReplacedSystemCall<Open>>(qbplatform::g_systemCalls.open,
                                                    [](const char*, int, mode_t) { return errno = EMFILE, -1; });
}
std::string SettingsFile() { return std::string(std::getenv("XDG_CONFIG_HOME")) + "/qbsocks/user.reg"; }
std::shared_ptr<void> LinkLeadingNowhere() {  // into a drive that is not mounted
  return std::remove(SettingsFile().c_str()), ::symlink("unmounted/user.reg", SettingsFile().c_str()), nullptr;
}
std::shared_ptr<void> BigEndianText() {  // UTF-16BE with its byte-order mark
  std::ifstream in(SettingsFile(), std::ios::binary);
  std::string text = "\xFE\xFF";
  for (char c; in.get(c);) text += std::string(1, '\0') + c;
  return std::ofstream(SettingsFile(), std::ios::binary) << text, nullptr;
}
// The Password behind the 262,144 values a reader takes from one file:
// the other five are read, that one fails.
std::shared_ptr<void> PasswordBeyondTheValuesCap() {
  std::ifstream in(SettingsFile());
  std::string text;
  for (std::string line; std::getline(in, line);) text += line.rfind("\"Password\"", 0) == 0 ? "" : line + "\n";
  for (int i = 0; i < 262144; ++i) text += "\"F" + std::to_string(i) + "\"=dword:1\n";
  return std::ofstream(SettingsFile()) << text << "\"Password\"=\"secret\"\n", nullptr;
}
// No home in the environment, and the password database fails (as glibc
// says it when one of its sources is out of reach).
std::shared_ptr<void> UserDatabaseFails() {
  using Lookup = int (*)(uid_t, passwd*, char*, size_t, passwd**);
  const std::string xdg = std::getenv("XDG_CONFIG_HOME"), home = std::getenv("HOME");
  ::unsetenv("XDG_CONFIG_HOME"), ::unsetenv("HOME");
  auto failing = std::make_shared<ReplacedSystemCall<Lookup>>(qbplatform::g_systemCalls.getpwuid_r,
                                                              [](uid_t, passwd*, char*, size_t, passwd** found) {
                                                                return *found = nullptr, ENOENT;
                                                              });
  return std::shared_ptr<void>(nullptr, [xdg, home, failing](void*) {
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1), ::setenv("HOME", home.c_str(), 1);
  });
}
const UnreadableCase kUnreadable[] = {
    {"descriptor_limit", AtDescriptorLimit, "Cannot read the proxy settings: too many open files"},
    {"link_leading_nowhere", LinkLeadingNowhere,
     "Cannot read the proxy settings: the path to the store cannot be followed"},
    {"utf16_big_endian", BigEndianText, "Cannot read the proxy settings: the store is not in the registry's format"},
    {"user_database_fails", UserDatabaseFails, "Cannot read the proxy settings: the store cannot be read in full"},
    {"password_beyond_the_values_cap", PasswordBeyondTheValuesCap,
     "Cannot read the proxy settings: the store cannot be read in full"}};
#else
std::shared_ptr<void> CurrentUserDeleted() {  // every open below it fails, not with "not found"
  HKEY gone = NULL;
  RegCreateKeyA(HKEY_CURRENT_USER, "Software\\QBSocksTest\\Gone", &gone);
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QBSocksTest\\Gone");
  RegOverridePredefKey(HKEY_CURRENT_USER, gone);
  return std::shared_ptr<void>(nullptr, [gone](void*) {
    RegOverridePredefKey(HKEY_CURRENT_USER, NULL), RegCloseKey(gone),
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QBSocksTest");
  });
}
const UnreadableCase kUnreadable[] = {
    {"current_user_deleted", CurrentUserDeleted, "Cannot read the proxy settings: the key was deleted meanwhile"}};
#endif
class UnreadableTable : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableTable, FailsTheConnectAndNeverGoesDirect) {
  TempHive hive;
  RefusingPort proxy, target;
  WriteSettings(hive, ProxyAt(proxy.port(), 5));
  TakeReportedMessages();
  ProbeSocks socks;
  ASSERT_TRUE(socks.Create());
  const std::shared_ptr<void> fault = GetParam().fault();
  EXPECT_EQ(socks.Connect("127.0.0.1", target.port()), 0);
  EXPECT_FALSE(socks.IsOpen()) << "the direct path leaves it open";
  EXPECT_EQ(TakeReportedMessages(), std::vector<std::string>{GetParam().why});
}
INSTANTIATE_TEST_SUITE_P(Faults, UnreadableTable, ::testing::ValuesIn(kUnreadable),
                         [](const ::testing::TestParamInfo<UnreadableCase>& info) { return info.param.name; });
#ifdef _WIN32
// Through the platform's calls (Wine cannot impersonate): a thread with a
// token reads its user's hive, HKEY_USERS\<SID> (here keys under
// HKEY_CURRENT_USER), closed after; one without reads
// HKEY_CURRENT_USER; a hive that is not loaded, or a token that cannot be
// read, fails the read and is not replaced by another user's key.
struct ActingUser {
  LONG lToken;  // ERROR_NO_TOKEN: the thread does not impersonate
  const char* lpszSid;
  Fields expected;
  std::vector<std::string> why;
} g_user;
HKEY g_hUserKey;

BOOL WINAPI TestThreadToken(HANDLE, DWORD, BOOL, PHANDLE phToken) {
  SetLastError(g_user.lToken);
  return g_user.lToken == ERROR_SUCCESS && (*phToken = CreateEventA(NULL, TRUE, FALSE, NULL)) != NULL;
}

// The token's user as the system lays it out: a TOKEN_USER, then its SID.
BOOL WINAPI TestTokenUser(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID pvInfo, DWORD cbInfo, PDWORD pcbInfo) {
  PSID pSid = NULL;
  if (!ConvertStringSidToSidA(g_user.lpszSid, &pSid)) return FALSE;
  auto* pUser = static_cast<TOKEN_USER*>(pvInfo);
  *pcbInfo = sizeof(TOKEN_USER) + GetLengthSid(pSid);
  const BOOL bFits = *pcbInfo <= cbInfo && CopySid(GetLengthSid(pSid), pUser + 1, pSid);
  if (bFits) pUser->User.Sid = pUser + 1;
  LocalFree(pSid);
  return bFits;
}

LONG WINAPI TestUsersKey(HKEY hUsers, LPCSTR lpszSid, PHKEY phKey) {
  const std::string sid = lpszSid;  // 1002's hive has no proxy key
  const char* lpszHive = sid == "S-1-5-21-4294967295-2-3-1001" ? "Software\\QBSocksTest"
                         : sid == "S-1-5-21-1-2-3-1002"        ? "Software"
                                                               : NULL;
  if (hUsers != HKEY_USERS || lpszHive == NULL) return ERROR_FILE_NOT_FOUND;
  const LONG lResult = RegOpenKeyA(HKEY_CURRENT_USER, lpszHive, phKey);
  g_hUserKey = *phKey;
  return lResult;
}

TEST(ReadRegistry, ReadsTheSettingsOfTheUserTheThreadActsFor) {
  const Fields kNone{0, "", 0, 0, "", ""};
  const ActingUser cases[] = {
      {ERROR_NO_TOKEN, "", {1, "10.0.0.5", 1080, 5, "user", "pass"}, {}},
      {ERROR_SUCCESS, "S-1-5-21-4294967295-2-3-1001", {1, "10.9.9.9", 1081, 4, "", ""}, {}},
      {ERROR_SUCCESS, "S-1-5-21-1-2-3-1002", kNone, {}},  // the user's own hive, no proxy key: direct
      {ERROR_SUCCESS,
       "S-1-5-21-1-2-3-1003",
       kNone,  // profile not loaded: not .DEFAULT, not direct
       {"Cannot read the proxy settings: the profile of the user the thread acts for is not loaded"}},
      {ERROR_ACCESS_DENIED, "", kNone, {"Cannot read the proxy settings: access denied"}}};
  TempHive hive;
  WriteSettings(hive, kValid);
  HKEY hOther = NULL;
  RegCreateKeyA(HKEY_CURRENT_USER, (std::string("Software\\QBSocksTest\\") + TempHive::kProxyKey).c_str(), &hOther);
  for (auto [name, value] :
       {std::pair<const char*, DWORD>{"ProxyEnable", 1}, {"SocksPort", 1081}, {"SocksVersion", 4}})
    RegSetValueExA(hOther, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  RegSetValueExA(hOther, "SocksServer", 0, REG_SZ, reinterpret_cast<const BYTE*>("10.9.9.9"), 9);
  RegCloseKey(hOther);
  TakeReportedMessages();
  for (const ActingUser& user : cases) {
    g_user = user;
    qbplatform::SystemCallTable& calls = qbplatform::g_systemCalls;
    calls.OpenThreadToken = TestThreadToken, calls.GetTokenInformation = TestTokenUser,
    calls.RegOpenUsersKey = TestUsersKey;
    ProbeSocks socks;
    socks.ReadRegistry();
    calls.OpenThreadToken = NULL, calls.GetTokenInformation = NULL, calls.RegOpenUsersKey = NULL;
    EXPECT_EQ(Read(socks), user.expected) << user.lToken << " " << user.lpszSid;
    EXPECT_EQ(TakeReportedMessages(), user.why) << user.lToken << " " << user.lpszSid;
  }
  DWORD cbData = 0;  // the last hive the impersonating read opened is closed
  EXPECT_EQ(RegQueryValueExA(g_hUserKey, "SocksPort", NULL, NULL, NULL, &cbData), ERROR_INVALID_HANDLE);
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QBSocksTest");
}
#endif

}  // namespace
}  // namespace qbtest
