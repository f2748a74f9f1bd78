// qbsocks-reg run as a user runs it, on a hive of the test's own: command
// errors, round trips through add/query/delete/export/import, the values
// as CSocks reads them back, and the permission warning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/temp_hive.h"
#include "tools/tool_process.h"

namespace {

const std::string kKey = std::string("HKCU\\") + qbsettings::kProxyKey;
const std::string kFullKey = qbsettings::kProxyKeyWithRoot;
const char kDone[] = "The operation completed successfully.\n";

qbtest::ToolResult Reg(std::vector<std::string> args, std::string input = "") {
  qbtest::ToolRun run;
  run.args = std::move(args);
  run.input = std::move(input);
  return qbtest::RunTool(QBSOCKS_REG_PATH, run);
}

void WriteBytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

unsigned Mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The value as CSocks gets it: through RegOpenKeyA/RegQueryValueExA.
struct Queried {
  LONG rc;
  DWORD type;
  std::vector<BYTE> data;
};

Queried QueryThroughRegistry(const std::string& name) {
  Queried q{ERROR_FILE_NOT_FOUND, REG_NONE, std::vector<BYTE>(256)};
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, qbtest::TempHive::kProxyKey, &key) != ERROR_SUCCESS) return q;
  DWORD size = static_cast<DWORD>(q.data.size());
  q.rc = RegQueryValueExA(key, name.c_str(), nullptr, &q.type, q.data.data(), &size);
  q.data.resize(q.rc == ERROR_SUCCESS ? size : 0);
  RegCloseKey(key);
  return q;
}

std::string QueryOutput(const std::string& line) { return "\n" + kFullKey + "\n" + line + "\n"; }

// .reg text with n keys named prefix0, prefix1, ... below HKEY_CURRENT_USER.
std::string Sections(size_t n, const std::string& prefix) {
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  for (size_t i = 0; i < n; ++i) text += "[HKEY_CURRENT_USER\\" + prefix + std::to_string(i) + "]\n";
  return text;
}

TEST(QbsocksReg, CommandLineErrorsExitOneWithOneLineAndWriteNothing) {
  qbtest::TempHive hive;
  hive.SetString(qbtest::TempHive::kProxyKey, "SocksServer", "10.0.0.5");
  const std::string before = hive.ReadFile();
  const std::string notRegistry = hive.ConfigHome() + "/notes.txt";
  WriteBytes(notRegistry, "just some notes\n[HKEY_CURRENT_USER\\Software\\X]\n\"A\"=\"b\"\n");
  const std::string otherRoot = hive.ConfigHome() + "/machine.reg";
  WriteBytes(otherRoot, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\X]\n\"A\"=\"b\"\n");
  // Nothing a reader would drop is written: beyond the caps, alone or with the five keys there.
  WriteBytes(hive.ConfigHome() + "/cut.reg", Sections(65537, "K"));
  WriteBytes(hive.ConfigHome() + "/many.reg", Sections(65534, "K"));
  WriteBytes(hive.ConfigHome() + "/cr.reg", Sections(0, "") + "[" + kFullKey + "]\n\"A\rB\"=dword:1\n");

  struct Case {
    std::vector<std::string> args;
    const char* reason;  // a piece of the expected line
    bool usage = true;   // a wrong command line: a second line points at --help
  };
  const Case cases[] = {
      {{}, "no command"},
      {{"frobnicate", kKey}, "unknown command \"frobnicate\""},
      {{"add", kKey, "/t", "REG_SZ", "/d", "x"}, "missing /v"},
      {{"add", kKey, "/v"}, "/v needs a value"},
      {{"add", kKey, "/v", "A", "/t", "REG_FOO", "/d", "1"}, "unknown type \"REG_FOO\""},
      {{"add", kKey, "/v", "A", "/t", "REG_DWORD", "/d", "12abc"}, "REG_DWORD data must be a number"},
      {{"add", kKey, "/v", "A", "/t", "REG_DWORD", "/d", "-1"}, "REG_DWORD data must be a number"},
      {{"add", kKey, "/v", "A", "/t", "REG_DWORD", "/d", "4294967296"}, "REG_DWORD data must be a number"},
      {{"add", kKey, "/v", "A", "/t", "REG_DWORD", "/d", "0x"}, "REG_DWORD data must be a number"},
      {{"add", kKey, "/v", "A", "/t", "REG_DWORD"}, "REG_DWORD needs /d"},
      {{"add", kKey, "/v", "A", "/t", "REG_BINARY", "/d", "abc"}, "pairs of hex digits"},
      {{"add", kKey, "/v", "A", "/ve", "/d", "x"}, "not both"},
      {{"add", kKey, "/v", "Password", "/d", "-"}, "/d -: standard input ended before a line"},
      {{"add", "HKLM\\Software\\X", "/v", "A", "/d", "x"}, "not a key under HKCU"},
      {{"add", "Software\\X", "/v", "A", "/d", "x"}, "not a key under HKCU"},
      {{"add", "HKCUSoftwareX", "/v", "A", "/d", "x"}, "the shell took its backslashes; quote it"},
      {{"query"}, "expected KEY"},
      {{"query", kKey, "/f"}, "/f does not apply"},
      {{"query", kKey, "/v", "A", "/v", "B"}, "/v given twice"},
      {{"import", hive.ConfigHome() + "/missing.reg"}, "cannot read", false},
      {{"import", hive.ConfigHome()}, "cannot read", false},
      {{"import", notRegistry}, "is not a registry file", false},
      {{"import", otherRoot}, "HKEY_LOCAL_MACHINE", false},
      {{"export", kKey}, "expected KEY and FILE"},
      {{"import", hive.ConfigHome() + "/cut.reg"},
       "more than one text may (65536 keys, 262144 values and 8 MiB",
       false},
      {{"import", hive.ConfigHome() + "/many.reg"},
       "would then hold 65539 keys, more than the 65536 a reader takes",
       false},
      {{"add", "HKCU\\Software\\" + std::string(300, 'x'), "/v", "K", "/d", "x"}, "(ERROR_INVALID_PARAMETER)", false},
      // Names that would be read back as other lines of the file.
      {{"add", kKey + "\n\"SocksServer\"=\"127.0.0.66\"", "/v", "A", "/d", "x"}, "the key has a line break", false},
      {{"add", kKey, "/v", "A\n[HKEY_CURRENT_USER\\X]", "/d", "x"}, "the value name has a line break", false},
      {{"import", hive.ConfigHome() + "/cr.reg"}, "a carriage return or a NUL", false},
  };
  for (const Case& c : cases) {
    const qbtest::ToolResult r = Reg(c.args);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(r.exitCode, 1) << qbtest::Describe(r);
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << qbtest::Describe(r);
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), c.usage ? "Try 'qbsocks-reg --help'.\n" : "") << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(hive.ReadFile(), before);
  }
  EXPECT_EQ(Reg({"--version"}).out, "qbsocks-reg " QBSOCKS_RELEASE "\n");
}

TEST(QbsocksReg, AddedValuesQueryAsRegExeAndReadBackAsCSocksReadsThem) {
  qbtest::TempHive hive;
  struct Case {
    const char* name;
    const char* type;
    const char* data;
    const char* shown;
    DWORD storedType;
    std::vector<BYTE> stored;
    std::string warning = {};  // a proxy value CSocks leaves unread, or one that turns the proxy off
    std::string input = {};    // for /d -
  };
  const std::string fix = "; run: qbsocks-reg add '" + kKey + "' /v ",
                    port = " /d PORT /f, with a PORT from 1 to 65535";
  const std::string s63(63, 's'), s64(64, 's');
  std::string e20;
  for (int i = 0; i < 20; ++i) e20 += "\xc3\xa9";  // U+00E9
  const Case cases[] = {
      {"SocksServer", "REG_SZ", "127.0.0.1", "127.0.0.1", REG_SZ, {'1', '2', '7', '.', '0', '.', '0', '.', '1', 0}},
      {"UserName", "reg_sz", "a b\\c\"d", "a b\\c\"d", REG_SZ, {'a', ' ', 'b', '\\', 'c', '"', 'd', 0}},
      {"Password", "REG_SZ", "", "", REG_SZ, {0}},
      // One line of standard input, without its line end: out of ps and the shell's history.
      {"Password", "REG_SZ", "-", "p w", REG_SZ, {'p', ' ', 'w', 0}, "", "p w\r\nnot this\n"},
      {"SocksPort", "REG_DWORD", "1080", "0x438", REG_DWORD, {0x38, 0x04, 0, 0}},
      {"SocksVersion", "REG_DWORD", "0X5", "0x5", REG_DWORD, {5, 0, 0, 0}},
      {"ProxyEnable", "REG_DWORD", "4294967295", "0xffffffff", REG_DWORD, {0xff, 0xff, 0xff, 0xff}},
      {"Blob", "REG_BINARY", "00aF10", "00AF10", REG_BINARY, {0x00, 0xaf, 0x10}},
      // Stored all the same, with one line that names what CSocks does and the command that fixes it.
      {"SocksVersion",
       "REG_SZ",
       "5",
       "5",
       REG_SZ,
       {'5', 0},
       "SocksVersion is stored as REG_SZ, not REG_DWORD, so CSocks "
       "ignores the value: a new socket has version 0, so the proxy is off" +
           fix + "SocksVersion /t REG_DWORD /d 5 /f"},
      {"SocksPort",
       "REG_DWORD",
       "0",
       "0x0",
       REG_DWORD,
       {0, 0, 0, 0},
       "SocksPort is 0, so CSocks turns the proxy off" + fix + "SocksPort /t REG_DWORD" + port},
      {"SocksPort",
       "REG_DWORD",
       "70000",
       "0x11170",
       REG_DWORD,
       {0x70, 0x11, 1, 0},
       "SocksPort is 70000, above 65535: "
       "CSocks takes its low 16 bits and connects to the proxy's port 4464" +
           fix + "SocksPort /t REG_DWORD" + port},
      {"SocksVersion",
       "REG_DWORD",
       "3",
       "0x3",
       REG_DWORD,
       {3, 0, 0, 0},
       "SocksVersion is 3, not 4 or 5, so CSocks turns "
       "the proxy off" +
           fix + "SocksVersion /t REG_DWORD /d 5 /f (or /d 4 for SOCKS4)"},
      {"SocksServer",
       "REG_SZ",
       s64.c_str(),
       s64.c_str(),
       REG_SZ,
       {s64.c_str(), s64.c_str() + 65},
       "SocksServer is longer "
       "than 63 bytes, so CSocks ignores the value: a new socket has no server, so the proxy is off" +
           fix + "SocksServer /d ADDRESS /f, with at most 63 bytes"},
      {"ProxyEnable",
       "REG_DWORD",
       "1",
       "0x1",
       REG_DWORD,
       {1, 0, 0, 0},
       "ProxyEnable is 1 but SocksServer is longer than 63 bytes, so CSocks turns the proxy off and every connect "
       "goes direct to its target" +
           fix + "SocksServer /d ADDRESS /f"},
      // 20 characters of two bytes each: the field counts bytes.
      {"UserName",
       "REG_SZ",
       e20.c_str(),
       e20.c_str(),
       REG_SZ,
       {e20.c_str(), e20.c_str() + 41},
       "UserName is longer than "
       "31 bytes, so CSocks ignores the value: a new socket sends an empty user name, which a proxy that checks it "
       "refuses" +
           fix + "UserName /d NAME /f, with at most 31 bytes"},
      {"SocksServer", "REG_SZ", s63.c_str(), s63.c_str(), REG_SZ, {s63.c_str(), s63.c_str() + 64}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const qbtest::ToolResult added = Reg({"add", kKey, "-v", c.name, "-t", c.type, "-d", c.data, "-f"}, c.input);
    ASSERT_EQ(added.exitCode, 0) << qbtest::Describe(added);
    EXPECT_EQ(added.out, kDone);
    EXPECT_EQ(added.err, c.warning.empty() ? "" : "qbsocks-reg: warning: " + c.warning + "\n");

    const qbtest::ToolResult shown = Reg({"query", kFullKey, "/v", c.name});
    EXPECT_EQ(shown.exitCode, 0) << qbtest::Describe(shown);
    EXPECT_EQ(shown.out, QueryOutput(std::string("    ") + c.name + "    " +
                                     (c.storedType == REG_SZ      ? "REG_SZ"
                                      : c.storedType == REG_DWORD ? "REG_DWORD"
                                                                  : "REG_BINARY") +
                                     "    " + c.shown + "\n"));

    const Queried q = QueryThroughRegistry(c.name);
    EXPECT_EQ(q.rc, ERROR_SUCCESS);
    EXPECT_EQ(q.type, c.storedType);
    EXPECT_EQ(q.data, c.stored);
  }
  EXPECT_EQ(Mode(hive.Path()), 0600u) << "a new hive is private";
}

TEST(QbsocksReg, QueryOfAKeyListsValuesThenSubkeys) {
  qbtest::TempHive hive;
  hive.SetDword(qbtest::TempHive::kProxyKey, "SocksPort", 1080);
  hive.SetString(qbtest::TempHive::kProxyKey, "", "default text");
  hive.SetString(std::string(qbtest::TempHive::kProxyKey) + "\\Backup", "SocksServer", "10.0.0.9");
  hive.SetString(std::string(qbtest::TempHive::kProxyKey) + "\\Backup\\Deeper", "X", "y");

  const qbtest::ToolResult r = Reg({"query", kKey});
  EXPECT_EQ(r.exitCode, 0) << qbtest::Describe(r);
  EXPECT_EQ(r.out, "\n" + kFullKey + "\n" +
                       "    (Default)    REG_SZ    default text\n"
                       "    SocksPort    REG_DWORD    0x438\n"
                       "\n" +
                       kFullKey + "\\Backup\n");

  for (const std::vector<std::string>& missing :
       {std::vector<std::string>{"query", kKey + "\\Nope"}, {"query", kKey, "/v", "Nope"}}) {
    const qbtest::ToolResult m = Reg(missing);
    EXPECT_EQ(m.exitCode, 1) << qbtest::Describe(m);
    EXPECT_NE(m.err.find("cannot find"), std::string::npos);
  }
}

TEST(QbsocksReg, OverwritingOrDeletingWithoutATerminalNeedsForce) {
  qbtest::TempHive hive;
  hive.SetString(qbtest::TempHive::kProxyKey, "SocksServer", "10.0.0.5");
  hive.SetDword(qbtest::TempHive::kProxyKey, "ProxyEnable", 1);
  hive.SetString(std::string(qbtest::TempHive::kProxyKey) + "\\Sub", "A", "b");
  const std::string before = hive.ReadFile();

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"add", kKey, "/v", "SocksServer", "/d", "1.2.3.4"},
        {"delete", kKey, "/v", "SocksServer"},
        {"delete", kKey}}) {
    const qbtest::ToolResult r = Reg(args);
    EXPECT_EQ(r.exitCode, 1) << qbtest::Describe(r);
    EXPECT_NE(r.err.find("/f"), std::string::npos) << r.err;
    EXPECT_EQ(hive.ReadFile(), before);
  }

  EXPECT_EQ(Reg({"add", kKey, "/v", "SocksServer", "/d", "1.2.3.4", "/f"}).exitCode, 0);
  EXPECT_EQ(QueryThroughRegistry("SocksServer").data, (std::vector<BYTE>{'1', '.', '2', '.', '3', '.', '4', 0}));

  const qbtest::ToolResult deleted = Reg({"delete", kKey, "/v", "SocksServer", "/f"});
  EXPECT_EQ(deleted.exitCode, 0);
  EXPECT_NE(deleted.err.find("warning: ProxyEnable is 1 but SocksServer is not set"), std::string::npos)
      << deleted.err;
  EXPECT_EQ(QueryThroughRegistry("SocksServer").rc, ERROR_FILE_NOT_FOUND);
  const qbtest::ToolResult again = Reg({"delete", kKey, "/v", "SocksServer", "/f"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("cannot find the value SocksServer"), std::string::npos) << again.err;

  EXPECT_EQ(Reg({"delete", kKey, "/f"}).exitCode, 0);  // with its subkey
  EXPECT_EQ(Reg({"query", kKey + "\\Sub"}).exitCode, 1);
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Quillbrook\\Game\\Share"}).exitCode, 0) << "the parent stays";
  EXPECT_EQ(Reg({"delete", "HKCU", "/f"}).exitCode, 1);
}

TEST(QbsocksReg, ExportThenImportIntoAnotherHiveGivesTheSameSettings) {
  std::string exported;
  std::string original;
  {
    qbtest::TempHive hive;
    hive.SetString(qbtest::TempHive::kProxyKey, "SocksServer", "127.0.0.1");
    hive.SetDword(qbtest::TempHive::kProxyKey, "SocksPort", 1080);
    hive.SetString(qbtest::TempHive::kProxyKey, "Password", "p\"a\\ss");
    hive.SetString(std::string(qbtest::TempHive::kProxyKey) + "\\Sub", "A", "b");
    hive.SetString("Software\\Unrelated", "Z", "not exported");
    const std::string file = hive.ConfigHome() + "/proxy.reg";
    const qbtest::ToolResult r = Reg({"export", kKey, file});
    ASSERT_EQ(r.exitCode, 0) << qbtest::Describe(r);
    EXPECT_EQ(Mode(file), 0600u) << "the export holds the password";
    exported = ReadBytes(file);
    EXPECT_EQ(exported.find("Unrelated"), std::string::npos);
    original = Reg({"query", kKey}).out + Reg({"query", kKey + "\\Sub"}).out;

    WriteBytes(file, "keep me");
    EXPECT_EQ(Reg({"export", kKey, file}).exitCode, 1);
    EXPECT_EQ(ReadBytes(file), "keep me");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(Reg({"export", kKey, file, "/y"}).exitCode, 0);
    EXPECT_EQ(ReadBytes(file), exported);
    EXPECT_EQ(Mode(file), 0600u) << "a replaced file too";
    EXPECT_EQ(Reg({"export", kKey + "\\Nope", hive.ConfigHome() + "/nope.reg"}).exitCode, 1);
  }
  qbtest::TempHive fresh;
  const std::string file = fresh.ConfigHome() + "/proxy.reg";
  WriteBytes(file, exported);
  const qbtest::ToolResult r = Reg({"import", file});
  ASSERT_EQ(r.exitCode, 0) << qbtest::Describe(r);
  EXPECT_EQ(Reg({"query", kKey}).out + Reg({"query", kKey + "\\Sub"}).out, original);
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\Unrelated"}).exitCode, 1);
}

// What regedit writes on Windows: UTF-16LE with a byte-order mark, CRLF.
std::string Utf16LeWithBom(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    if (c == '\n') out += std::string("\r\0", 2);
    out += c;
    out += '\0';
  }
  return out;
}

TEST(QbsocksReg, ImportsWhatRegeditExportsAndMergesIt) {
  const std::string settings =
      "Windows Registry Editor Version 5.00\n\n"
      "[" +
      kFullKey +
      "]\n"
      "\"ProxyEnable\"=dword:00000001\n"
      "\"SocksServer\"=\"192.168.1.20\"\n"
      "\"SocksPort\"=dword:00000438\n"
      "\"Stale\"=-\n\n";
  const std::string regedit4 = "REGEDIT4\n\n[" + kFullKey + "]\n\"UserName\"=\"alice\"\n";
  for (const std::string& bytes : {Utf16LeWithBom(settings), settings, regedit4}) {
    qbtest::TempHive hive;
    hive.SetString(qbtest::TempHive::kProxyKey, "Stale", "old");
    hive.SetString(qbtest::TempHive::kProxyKey, "Password", "kept");
    const std::string file = hive.ConfigHome() + "/from-windows.reg";
    WriteBytes(file, bytes);
    const qbtest::ToolResult r = Reg({"import", file});
    ASSERT_EQ(r.exitCode, 0) << qbtest::Describe(r);
    EXPECT_EQ(r.out, kDone);
    EXPECT_EQ(QueryThroughRegistry("Password").data, (std::vector<BYTE>{'k', 'e', 'p', 't', 0}))
        << "merged, not replaced";
    if (bytes == regedit4) {
      EXPECT_EQ(QueryThroughRegistry("UserName").data, (std::vector<BYTE>{'a', 'l', 'i', 'c', 'e', 0}));
      continue;
    }
    EXPECT_EQ(QueryThroughRegistry("SocksServer").type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Reg({"query", kKey, "/v", "SocksServer"}).out,
              QueryOutput("    SocksServer    REG_SZ    192.168.1.20\n"));
    EXPECT_EQ(QueryThroughRegistry("SocksPort").data, (std::vector<BYTE>{0x38, 0x04, 0, 0}));
    EXPECT_EQ(QueryThroughRegistry("Stale").rc, ERROR_FILE_NOT_FOUND) << "\"Name\"=- deletes";
  }
}

// A file past the caps by hand says "cannot read" (not "cannot find") for
// the proxy key beyond them, refuses to grow, and is mended by delete.
TEST(QbsocksReg, AFilePastTheCapsIsMendedByDelete) {
  qbtest::TempHive hive;
  hive.WriteFile(Sections(65536, "Filler\\K") + "[" + kFullKey + "]\n\"ProxyEnable\"=dword:1\n");
  const qbtest::ToolResult unread = Reg({"query", kKey});
  EXPECT_NE(unread.err.find("cannot read the key " + kFullKey), std::string::npos) << unread.err;
  EXPECT_NE(Reg({"add", kKey, "/v", "X", "/d", "y", "/f"}).err.find("refusing to write"), std::string::npos);
  EXPECT_EQ(Reg({"delete", "HKCU\\Filler", "/f"}).exitCode, 0);
  EXPECT_EQ(Reg({"query", kKey, "/v", "ProxyEnable"}).out, QueryOutput("    ProxyEnable    REG_DWORD    0x1\n"));
}

TEST(QbsocksReg, WarnsWhenOtherUsersCanReadTheHive) {
  qbtest::TempHive hive;
  ASSERT_EQ(Reg({"add", kKey, "/v", "Password", "/d", "secret"}).exitCode, 0);
  const std::vector<std::string> query{"query", kKey, "/v", "Password"};

  const qbtest::ToolResult quiet = Reg(query);
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.err, "");

  for (mode_t mode : {0644, 0640, 0606}) {
    ASSERT_EQ(::chmod(hive.Path().c_str(), mode), 0);
    const qbtest::ToolResult warned = Reg(query);
    EXPECT_EQ(warned.exitCode, 0) << "a warning, not a failure";
    EXPECT_NE(warned.err.find("warning: " + hive.Path()), std::string::npos) << warned.err;
    EXPECT_NE(warned.err.find("chmod 600"), std::string::npos) << warned.err;
  }
  ASSERT_EQ(Reg({"add", kKey, "/v", "Password", "/d", "other", "/f"}).exitCode, 0);
  EXPECT_EQ(Mode(hive.Path()), 0606u) << "a rewrite keeps the user's permission bits";
}

}  // namespace
