// The registry stand-in: .reg text as regedit writes it (and worse), the
// Win32 query/set semantics, atomic replacement under concurrent readers.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "settings/reg_store.h"
#include "support/replaced_system_call.h"
#include "support/temp_hive.h"
#include "win32.h"

namespace {

using namespace std::string_view_literals;
using Bytes = std::vector<BYTE>;
using qbtest::TempHive;

constexpr const char* kProxy = TempHive::kProxyKey;

Bytes Sz(std::string_view text) {
  Bytes b(text.begin(), text.end());
  b.push_back(0);
  return b;
}

Bytes Dw(DWORD v) {
  return {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
}

// A file as regedit on Windows writes it: UTF-16LE with a byte-order mark.
std::string Utf16File(std::u16string_view text) {
  std::string out("\xFF\xFE", 2);
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

struct Query {
  const char* key;  // below HKEY_CURRENT_USER
  const char* name;
  LONG result;  // of RegOpenKeyA when it fails, else of RegQueryValueExA
  DWORD type = REG_NONE;
  Bytes data = {};
};

struct ParseCase {
  const char* what;
  std::string file;
  std::vector<Query> queries;
};

// Opens the key afresh and checks one query against it.
void CheckQuery(const Query& q) {
  SCOPED_TRACE(std::string(q.key) + " / " + q.name);
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyA(HKEY_CURRENT_USER, q.key, &key);
  if (opened != ERROR_SUCCESS) {
    EXPECT_EQ(opened, q.result);
    EXPECT_EQ(key, nullptr);
    return;
  }
  DWORD type = 0xDEAD;
  Bytes data(std::max<size_t>(1 << 16, q.data.size() + 1));
  DWORD size = static_cast<DWORD>(data.size());
  const LONG rc = RegQueryValueExA(key, q.name, nullptr, &type, data.data(), &size);
  EXPECT_EQ(rc, q.result);
  if (rc == ERROR_SUCCESS && q.result == ERROR_SUCCESS) {
    EXPECT_EQ(type, q.type);
    data.resize(size);
    EXPECT_EQ(data, q.data);
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// A key path below HKEY_CURRENT_USER, `levels` deep, every level `name`;
// kept for as long as the table is used.
const char* Levels(size_t levels, const std::string& name) {
  static std::deque<std::string> kept;
  std::string path = name;
  for (size_t i = 1; i < levels; ++i) path += "\\" + name;
  return kept.emplace_back(std::move(path)).c_str();
}

const std::string kHeader = "Windows Registry Editor Version 5.00\n";

std::string Section(const char* path, const std::string& values = "\"V\"=dword:1\n") {
  return "[HKEY_CURRENT_USER\\" + std::string(path) + "]\n" + values;
}

// Just one key and one value more than a text may bring, each skipped.
std::string OverTheCaps() {
  std::string file = kHeader;
  for (size_t i = 1; i < qbhive::kMaxKeysPerText; ++i) file += "[HKEY_CURRENT_USER\\C" + std::to_string(i) + "]\n";
  file += "[HKEY_CURRENT_USER\\Last]\n";
  for (size_t i = 1; i < qbhive::kMaxValuesPerText; ++i) file += "\"v" + std::to_string(i) + "\"=dword:0\n";
  return file + "\"V\"=dword:1\n\"Skipped\"=dword:1\n" + Section("Beyond");
}

std::vector<ParseCase> ParseCases() {
  const std::string big(1 << 20, 'x');
  std::vector<ParseCase> cases;

  const char* deepest = Levels(qbhive::kMaxKeyDepth, "k");
  const char* too_deep = Levels(qbhive::kMaxKeyDepth + 1, "k");
  // Characters as Windows counts them (UTF-16 units), not bytes.
  const char* longest = Levels(1, std::string(qbhive::kMaxKeyNameLength - 1, 'n') + "\xC3\xA9");
  const char* too_long = Levels(1, std::string(qbhive::kMaxKeyNameLength - 1, 'n') + "\xC3\xA9\xC3\xA9");
  const char* huge_tree = Levels(qbhive::kMaxKeyDepth, std::string(qbhive::kMaxKeyNameLength, 'h'));
  cases.push_back({"Windows' limits on a key: a section beyond them is skipped with its values",
                   kHeader + Section(deepest) + Section(too_deep) + Section(longest) + Section(too_long),
                   {{deepest, "V", ERROR_SUCCESS, REG_DWORD, Dw(1)},
                    {too_deep, "V", ERROR_FILE_NOT_FOUND},
                    {longest, "V", ERROR_SUCCESS, REG_DWORD, Dw(1)},
                    {too_long, "V", ERROR_FILE_NOT_FOUND}}});
  // What a cap left out cannot be said to be missing: it cannot be read.
  cases.push_back({"a key within the limits whose paths pass the cap",
                   kHeader + Section(deepest) + Section(huge_tree),
                   {{deepest, "V", ERROR_SUCCESS, REG_DWORD, Dw(1)}, {huge_tree, "V", ERROR_CANTREAD}}});
  cases.push_back({"caps on the keys and values one file brings",
                   OverTheCaps(),
                   {{"Last", "V", ERROR_SUCCESS, REG_DWORD, Dw(1)},
                    {"Last", "Skipped", ERROR_CANTREAD},
                    {"Beyond", "V", ERROR_CANTREAD}}});

  cases.push_back({"regedit's own export: UTF-16LE, BOM, CRLF, wrapped hex, non-ASCII",
                   Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n"
                             u"[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\Proxy]\r\n"
                             u"\"SocksServer\"=\"10.0.0.5\"\r\n"
                             u"\"SocksPort\"=dword:00000438\r\n"
                             u"\"UserName\"=\"caf\u00e9\"\r\n"
                             u"\"Password\"=\"p\\\\w\\\"d\"\r\n"
                             u"\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
                             u"  16,17,18\r\n"
                             u"\"Path\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,e9,00,00,00\r\n"
                             u"@=\"default\"\r\n\r\n"),
                   {{kProxy, "SocksServer", ERROR_SUCCESS, REG_SZ, Sz("10.0.0.5")},
                    {kProxy, "SocksPort", ERROR_SUCCESS, REG_DWORD, Dw(1080)},
                    {kProxy, "UserName", ERROR_SUCCESS, REG_SZ, Sz("caf\xC3\xA9")},
                    {kProxy, "Password", ERROR_SUCCESS, REG_SZ, Sz("p\\w\"d")},
                    {kProxy, "Blob", ERROR_SUCCESS, REG_BINARY,
                     Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}},
                    {kProxy, "Path", ERROR_SUCCESS, REG_EXPAND_SZ, Sz("%HOME%\xC3\xA9")},
                    {kProxy, "", ERROR_SUCCESS, REG_SZ, Sz("default")},
                    {"Software\\Quillbrook", "SocksServer", ERROR_FILE_NOT_FOUND}}});

  cases.push_back({"REGEDIT4: 8-bit string data stays as it is",
                   "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\Proxy]\r\n"
                   "\"Path\"=hex(2):25,48,25,00\r\n\"SocksVersion\"=dword:4\r\n",
                   {{kProxy, "Path", ERROR_SUCCESS, REG_EXPAND_SZ, Bytes{0x25, 0x48, 0x25, 0}},
                    {kProxy, "SocksVersion", ERROR_SUCCESS, REG_DWORD, Dw(4)}}});

  cases.push_back({"UTF-8 with BOM, LF, short root, other case",
                   "\xEF\xBB\xBF" + kHeader +
                       "[hkcu\\SOFTWARE\\quillbrook\\Game\\Share\\PROXY]\n\"socksserver\"=\"h\"\n"
                       "  \"ProxyEnable\" = dword:00000002  \n",
                   {{kProxy, "SocksServer", ERROR_SUCCESS, REG_SZ, Sz("h")},
                    {kProxy, "PROXYENABLE", ERROR_SUCCESS, REG_DWORD, Dw(2)}}});

  cases.push_back({"escapes: only \\\\ and \\\" are escapes",
                   "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\K]\n"
                   "\"Win\"=\"C:\\temp\\\\x\"\n\"Q\\\"N\"=\"\\\"\"\n\"Eq=\"=\"a=b\"\n",
                   {{"K", "Win", ERROR_SUCCESS, REG_SZ, Sz("C:\\temp\\x")},
                    {"K", "Q\"N", ERROR_SUCCESS, REG_SZ, Sz("\"")},
                    {"K", "Eq=", ERROR_SUCCESS, REG_SZ, Sz("a=b")}}});

  cases.push_back({"garbage lines are skipped, good lines around them kept",
                   std::string("Windows Registry Editor Version 5.00\n"
                               "\"Orphan\"=\"before any key\"\n"
                               "[HKEY_CURRENT_USER\\K]\n"
                               "random words\n\"NoEquals\"\n\"Bad\"=dword:xyz\n\"Long\"=dword:123456789\n"
                               "\"Open\"=\"abc\n\"Hex\"=hex:01,zz\n\"Odd\"=hex(zz):01\n\"Tail\"=\"a\" junk\n"
                               "\"Weird\"=str:\"x\"\n[HKEY_CURRENT_USER\\Broken\n\"AfterBroken\"=dword:1\n"
                               "\0\0\x01\xff\xfe\n;\"Commented\"=dword:1\n"
                               "[HKEY_CURRENT_USER\\K]\n\"Good\"=dword:00000007\n"sv),
                   {{"K", "Good", ERROR_SUCCESS, REG_DWORD, Dw(7)},
                    {"K", "Orphan", ERROR_FILE_NOT_FOUND},
                    {"K", "NoEquals", ERROR_FILE_NOT_FOUND},
                    {"K", "Bad", ERROR_FILE_NOT_FOUND},
                    {"K", "Long", ERROR_FILE_NOT_FOUND},
                    {"K", "Open", ERROR_FILE_NOT_FOUND},
                    {"K", "Hex", ERROR_FILE_NOT_FOUND},
                    {"K", "Odd", ERROR_FILE_NOT_FOUND},
                    {"K", "Tail", ERROR_FILE_NOT_FOUND},
                    {"K", "Weird", ERROR_FILE_NOT_FOUND},
                    {"K", "AfterBroken", ERROR_FILE_NOT_FOUND},
                    {"K", "Commented", ERROR_FILE_NOT_FOUND}}});

  cases.push_back(
      {"truncated in a hex continuation: that value is dropped, the next line still counts",
       kHeader + "[HKEY_CURRENT_USER\\K]\n\"A\"=dword:1\n\"Blob\"=hex:01,02,\\\n\"B\"=dword:2\n\"C\"=hex:03,\\",
       {{"K", "A", ERROR_SUCCESS, REG_DWORD, Dw(1)},
        {"K", "Blob", ERROR_FILE_NOT_FOUND},
        {"K", "B", ERROR_SUCCESS, REG_DWORD, Dw(2)},
        {"K", "C", ERROR_FILE_NOT_FOUND}}});

  cases.push_back({"truncated mid-line and mid-section",
                   kHeader + "[HKEY_CURRENT_USER\\K]\n\"A\"=dword:1\n\"S\"=\"10.0.\n[HKEY_CURRENT_USER\\L",
                   {{"K", "A", ERROR_SUCCESS, REG_DWORD, Dw(1)},
                    {"K", "S", ERROR_FILE_NOT_FOUND},
                    {"L", "", ERROR_FILE_NOT_FOUND}}});

  cases.push_back(
      {"UTF-16 with an odd byte count",
       Utf16File(u"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K]\r\n\"A\"=dword:1\r\n") + "\x41",
       {{"K", "A", ERROR_SUCCESS, REG_DWORD, Dw(1)}}});

  cases.push_back({"huge lines",
                   kHeader + "[HKEY_CURRENT_USER\\K]\n\"Big\"=\"" + big + "\"\n" + big + "\n\"After\"=dword:5\n",
                   {{"K", "Big", ERROR_SUCCESS, REG_SZ, Sz(big)}, {"K", "After", ERROR_SUCCESS, REG_DWORD, Dw(5)}}});

  cases.push_back({"wrong kinds are reported as stored",
                   kHeader + "[HKEY_CURRENT_USER\\K]\n\"Port\"=\"1080\"\n\"Short\"=hex(4):01,00\n\"Server\"=dword:1\n"
                             "\"Unterminated\"=hex(1):61,00,62,00\n\"None\"=hex(0):\n",
                   {{"K", "Port", ERROR_SUCCESS, REG_SZ, Sz("1080")},
                    {"K", "Short", ERROR_SUCCESS, REG_DWORD, Bytes{1, 0}},
                    {"K", "Server", ERROR_SUCCESS, REG_DWORD, Dw(1)},
                    {"K", "Unterminated", ERROR_SUCCESS, REG_SZ, Bytes{'a', 'b'}},
                    {"K", "None", ERROR_SUCCESS, REG_NONE, Bytes{}}}});

  cases.push_back({"duplicate keys merge, a later value wins, deletions apply in order",
                   kHeader +
                       "[HKEY_CURRENT_USER\\K]\n\"A\"=dword:1\n\"B\"=dword:2\n\"C\"=dword:3\n"
                       "[HKEY_CURRENT_USER\\k]\n\"a\"=dword:9\n\"B\"=-\n"
                       "[HKEY_CURRENT_USER\\Gone\\Sub]\n\"X\"=dword:1\n[-HKEY_CURRENT_USER\\gone]\n\"Y\"=dword:1\n",
                   {{"K", "A", ERROR_SUCCESS, REG_DWORD, Dw(9)},
                    {"K", "B", ERROR_FILE_NOT_FOUND},
                    {"K", "C", ERROR_SUCCESS, REG_DWORD, Dw(3)},
                    {"Gone", "Y", ERROR_FILE_NOT_FOUND},
                    {"Gone\\Sub", "X", ERROR_FILE_NOT_FOUND}}});

  cases.push_back({"other roots are not the current user's",
                   kHeader + "[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1\n[NOT_A_ROOT\\K]\n\"B\"=dword:1\n",
                   {{"K", "A", ERROR_FILE_NOT_FOUND}, {"K", "B", ERROR_FILE_NOT_FOUND}}});

  // A file is the settings only from a header on: one without (empty, in an
  // encoding the reader does not decode) is unreadable, not empty.
  for (const char* empty : {"", "\xFF\xFE", "\xEF\xBB\xBF", "[HKEY_CURRENT_USER\\K]\n\"A\"=dword:1\n"}) {
    cases.push_back({"no header", empty, {{"K", "A", ERROR_BADDB}}});
  }
  const std::string utf16le = Utf16File(u"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K]\r\n");
  std::string utf16be = utf16le;
  for (size_t i = 0; i < utf16be.size(); i += 2) std::swap(utf16be[i], utf16be[i + 1]);
  cases.push_back({"UTF-16BE, with a BOM", utf16be, {{"K", "", ERROR_BADDB}}});
  cases.push_back({"UTF-16LE without a BOM", utf16le.substr(2), {{"K", "", ERROR_BADDB}}});
  cases.push_back({"just the header", kHeader, {{"K", "A", ERROR_FILE_NOT_FOUND}}});
  return cases;
}

TEST(RegistryParse, TableOfFiles) {
  for (const ParseCase& c : ParseCases()) {
    SCOPED_TRACE(c.what);
    TempHive hive;
    hive.WriteFile(c.file);
    for (const Query& q : c.queries) CheckQuery(q);
  }
}

TEST(RegistryParse, NoFileMeansNoKeyAndOpeningCreatesNothing) {
  TempHive hive;
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  // The root exists all the same, however its path is spelled.
  for (const char* root : {"", "\\", "\\\\"}) {
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, root, &same), ERROR_SUCCESS) << root;
    RegCloseKey(same);
  }
  EXPECT_FALSE(std::filesystem::exists(hive.Folder()));
}

// Values that only a lossless writer gets back unchanged.
std::vector<qbhive::Value> AwkwardValues() {
  Bytes all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<BYTE>(i));
  return {
      {"SocksServer", REG_SZ, Sz("10.0.0.5")},
      {"", REG_SZ, Sz("the default")},
      {"Quote\"And\\Slash", REG_SZ, Sz("C:\\a \"b\"")},
      {"NoTerminator", REG_SZ, {'a', 'b'}},
      {"EmbeddedNul", REG_SZ, {'a', 0, 'b', 0}},
      {"NotUtf8", REG_SZ, {0xFF, 0xC3, 'x', 0xED, 0xA0, 0x80, 0}},
      {"NonAscii", REG_EXPAND_SZ, Sz("%HOME%/caf\xC3\xA9/\xF0\x9F\x98\x80")},
      {"Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
      {"Dword", REG_DWORD, Dw(0xDEADBEEF)},
      {"ShortDword", REG_DWORD, {1, 2, 3}},
      {"AllBytes", REG_BINARY, all_bytes},
      {"Empty", REG_BINARY, {}},
      {"OddKind", 0x12345, {9, 8, 7}},
      {"Line\tTab ;[x]=@", REG_SZ, Sz("; not a comment")},
  };
}

TEST(RegistryRoundTrip, SetThenQueryThroughTheFile) {
  TempHive hive;
  for (const auto& v : AwkwardValues()) hive.SetRaw("Software\\Round Trip", v.name, v.type, v.data);
  for (const auto& v : AwkwardValues()) {
    Query q{"Software\\Round Trip", v.name.c_str(), ERROR_SUCCESS, v.type, v.data};
    CheckQuery(q);
  }
}

TEST(RegistryRoundTrip, SerializeThenParseGivesTheSameHive) {
  qbhive::Hive original;
  qbhive::Key* key = original.CreateKey("HKCU\\A\\B");
  ASSERT_NE(key, nullptr);
  for (const auto& v : AwkwardValues()) key->SetValue(v.name, v.type, v.data);
  original.CreateKey("HKEY_LOCAL_MACHINE\\Kept")->SetValue("X", REG_DWORD, Dw(1));

  const std::string text = qbhive::SerializeRegText(original);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find(",\\\n  "), std::string::npos) << "long hex is wrapped";
  EXPECT_EQ(text.find('\r'), std::string::npos);

  const qbhive::Hive parsed = qbhive::ParseRegText(text);
  ASSERT_EQ(parsed.Keys().size(), original.Keys().size());
  for (const auto& [path, want] : original.Keys()) {
    const qbhive::Key* got = parsed.FindKey(path);
    ASSERT_NE(got, nullptr) << path;
    EXPECT_EQ(got->path, want.path);
    ASSERT_EQ(got->values.size(), want.values.size()) << path;
    for (const auto& [name, value] : want.values) {
      const qbhive::Value* g = got->FindValue(name);
      ASSERT_NE(g, nullptr) << name;
      EXPECT_EQ(g->name, value.name);
      EXPECT_EQ(g->type, value.type) << name;
      EXPECT_EQ(g->data, value.data) << name;
    }
  }
  EXPECT_EQ(qbhive::SerializeRegText(parsed), text);

  // No name that would give the text a structure of its own: the model
  // takes none, the writer emits none put in by hand, UpdateHive writes none.
  const std::string injected = "N\n[HKEY_CURRENT_USER\\X]";
  EXPECT_FALSE(key->SetValue(injected, REG_DWORD, Dw(1)));
  EXPECT_EQ(original.CreateKey("HKCU\\A\r\\B"), nullptr);
  key->values.emplace(injected, qbhive::Value{injected, REG_DWORD, Dw(1)});
  EXPECT_EQ(qbhive::SerializeRegText(original), text);
  TempHive hive;
  EXPECT_EQ(qbhive::UpdateHive(hive.Path(), [&](qbhive::Hive& h) { return h = original, ERROR_SUCCESS; }),
            ERROR_INVALID_PARAMETER);
}

TEST(RegistryRoundTrip, ExportKeyHasTheKeyAndItsSubkeysOnly) {
  qbhive::Hive hive;
  hive.CreateKey("HKCU\\A\\B")->SetValue("In", REG_DWORD, Dw(1));
  hive.CreateKey("HKCU\\A B")->SetValue("Sibling", REG_DWORD, Dw(2));
  hive.CreateKey("HKCU\\AB")->SetValue("Sibling2", REG_DWORD, Dw(3));
  const qbhive::Hive exported = qbhive::ParseRegText(qbhive::ExportKey(hive, "hkey_current_user\\a"));
  EXPECT_NE(exported.FindKey("HKCU\\A\\B"), nullptr);
  EXPECT_NE(exported.FindKey("HKCU\\A"), nullptr);
  EXPECT_EQ(exported.FindKey("HKCU\\A B"), nullptr);
  EXPECT_EQ(exported.FindKey("HKCU\\AB"), nullptr);
}

// Whatever the input, parsing is stable: what was understood is written
// and read back identically. Run under the sanitizers this also shows that
// no input makes the parser step outside its buffer.
TEST(RegistryParse, ArbitraryBytesParseToAStableHive) {
  std::mt19937 rng(12345);
  const std::string sample =
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K\\L]\r\n"
      "\"A\"=\"x\\\\y\"\r\n\"B\"=hex(2):41,00,42,00,\\\r\n  00,00\r\n@=dword:1\r\n"
      "[-HKEY_CURRENT_USER\\K\\L]\r\n\"C\"=-\r\n";
  std::vector<std::string> inputs;
  for (size_t cut = 0; cut <= sample.size(); ++cut) inputs.push_back(sample.substr(0, cut));
  for (size_t cut = 0; cut <= sample.size(); ++cut)
    inputs.push_back(Utf16File(u"x").substr(0, 2) + sample.substr(0, cut));
  for (int i = 0; i < 300; ++i) {
    std::string s = sample;
    for (int k = 0; k < 4; ++k) s[rng() % s.size()] = static_cast<char>(rng());
    inputs.push_back(s);
    std::string noise(rng() % 512, '\0');
    static constexpr char kAlphabet[] = "[]\"\\=:,@-;\r\n hexdword(0A)\xFF\xFE";
    for (char& c : noise) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    inputs.push_back(noise);
  }
  for (const std::string& input : inputs) {
    const std::string once = qbhive::SerializeRegText(qbhive::ParseRegText(input));
    const std::string twice = qbhive::SerializeRegText(qbhive::ParseRegText(once));
    ASSERT_EQ(once, twice) << "input: " << testing::PrintToString(input);
  }
}

TEST(RegistryQuery, SizesAndMoreData) {
  TempHive hive;
  hive.SetString(kProxy, "SocksServer", "10.0.0.5");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "SocksServer", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 9u);

  char buf[16];
  std::memset(buf, '#', sizeof buf);
  size = 8;
  EXPECT_EQ(RegQueryValueExA(key, "SocksServer", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 9u) << "the size it needs";
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#')) << "nothing copied";

  size = 9;
  EXPECT_EQ(RegQueryValueExA(key, "socksSERVER", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_STREQ(buf, "10.0.0.5");
  EXPECT_EQ(buf[9], '#');

  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExA(key, "SocksServer", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "SocksServer", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "SocksServer", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryHandles, BadHandlesAndRootsAreRefused) {
  TempHive hive;
  hive.SetDword(kProxy, "SocksPort", 1080);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  DWORD size = 4;
  DWORD value = 0;
  const HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
  for (HKEY bad : {key, bogus, static_cast<HKEY>(nullptr)}) {
    EXPECT_EQ(RegQueryValueExA(bad, "SocksPort", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(bad, "X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyA(bad, "x", &sub), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, nullptr), ERROR_INVALID_PARAMETER);
  HKEY other = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kProxy, &other), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kProxy, &other), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "X", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "Two\nLines", 0, REG_BINARY, nullptr, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
  // Beyond Windows' limits on a key: refused as Windows refuses it.
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, Levels(1, std::string(256, 'x')), &other), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, Levels(qbhive::kMaxKeyDepth + 1, "k"), &other), ERROR_INVALID_PARAMETER);
}

TEST(RegistryHandles, NullOrEmptySubkeyOpensTheSameKey) {
  TempHive hive;
  hive.SetDword(kProxy, "SocksPort", 1080);
  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Quillbrook", &parent), ERROR_SUCCESS);
  for (const char* same : {static_cast<const char*>(nullptr), ""}) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(parent, "Game\\Share\\Proxy", &key), ERROR_SUCCESS);
    HKEY again = nullptr;
    ASSERT_EQ(RegOpenKeyA(key, same, &again), ERROR_SUCCESS);
    DWORD port = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(again, "SocksPort", nullptr, nullptr, reinterpret_cast<BYTE*>(&port), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(port, 1080u);
    RegCloseKey(again);
    RegCloseKey(key);
  }
  RegCloseKey(parent);
}

// Handles come from a fixed pool and, beyond it, from the heap; either
// kind works, and a closed handle stays invalid when its place is reused.
TEST(RegistryHandles, ManyAtOnceAndClosedOnesStayInvalid) {
  TempHive hive;
  hive.SetDword(kProxy, "SocksPort", 1080);
  std::vector<HKEY> keys(200);
  for (HKEY& key : keys) ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), ERROR_SUCCESS);
  for (HKEY key : keys) {
    DWORD port = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "SocksPort", nullptr, nullptr, reinterpret_cast<BYTE*>(&port), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(port, 1080u);
  }
  for (HKEY key : keys) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // Reopened as many times: every place is taken again, none by an old HKEY.
  std::vector<HKEY> again(keys.size());
  for (HKEY& key : again) ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), ERROR_SUCCESS);
  for (HKEY key : keys) {
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "SocksPort", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  }
  for (HKEY key : again) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryWrite, FilePermissionsAndNothingLeftBehind) {
  TempHive hive;
  hive.SetDword(kProxy, "SocksPort", 1080);
  struct stat st {};
  ASSERT_EQ(::stat(hive.Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(hive.Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ASSERT_EQ(::chmod(hive.Path().c_str(), 0640), 0);
  hive.SetDword(kProxy, "SocksPort", 1081);
  ASSERT_EQ(::stat(hive.Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "a replaced file keeps its permissions";

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(hive.Folder())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"user.reg", "user.reg.lock"}));
}

TEST(RegistryWrite, UntouchedContentIsKept) {
  TempHive hive;
  // A section a reader skips is written back as it stood.
  const std::string beyond_limits =
      "[HKEY_CURRENT_USER\\Software\\" + std::string(300, 'x') + "]\r\n\"Keep\"=\"me\"\r\n";
  hive.WriteFile("Windows Registry Editor Version 5.00\r\n\r\n" + beyond_limits +
                 "[HKEY_LOCAL_MACHINE\\Elsewhere]\r\n\"Keep\"=dword:00000001\r\n"
                 "[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\Proxy]\r\n\"SocksServer\"=\"a\"\r\n"
                 "[HKEY_CURRENT_USER\\Other]\r\n\"Blob\"=hex:01,02\r\n");
  hive.SetDword(kProxy, "SocksPort", 7);
  hive.SetString(kProxy, "SOCKSSERVER", "b");
  CheckQuery({kProxy, "SocksServer", ERROR_SUCCESS, REG_SZ, Sz("b")});
  CheckQuery({kProxy, "SocksPort", ERROR_SUCCESS, REG_DWORD, Dw(7)});
  CheckQuery({"Other", "Blob", ERROR_SUCCESS, REG_BINARY, Bytes{1, 2}});
  const qbhive::Hive file = qbhive::LoadHive(hive.Path());
  const qbhive::Key* elsewhere = file.FindKey("HKLM\\Elsewhere");
  ASSERT_NE(elsewhere, nullptr);
  EXPECT_NE(elsewhere->FindValue("Keep"), nullptr);
  const std::string text = hive.ReadFile();
  EXPECT_NE(text.find("\"SocksServer\"=\"b\""), std::string::npos) << "first spelling of the name is kept";
  EXPECT_NE(text.find(beyond_limits), std::string::npos) << "a skipped section is kept as it stood";
}

// Nothing a reader would not take whole is written; a file past the caps
// by hand can still be made smaller.
TEST(RegistryWrite, NothingPastTheCapsIsWritten) {
  TempHive hive;
  hive.WriteFile(OverTheCaps());
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Last\\Sub", &key), ERROR_NOT_ENOUGH_QUOTA);
  EXPECT_EQ(qbhive::UpdateHive(hive.Path(), [](qbhive::Hive& h) { return h.MarkCutShort(), ERROR_SUCCESS; }),
            ERROR_NOT_ENOUGH_QUOTA)
      << "a text cut short by the caps";
  EXPECT_EQ(hive.ReadFile(), OverTheCaps());
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Last"), ERROR_SUCCESS) << "deleting mends it";
  CheckQuery({"Beyond", "V", ERROR_SUCCESS, REG_DWORD, Dw(1)});
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "One\\More", &key), ERROR_NOT_ENOUGH_QUOTA) << "at the cap";
}

// A file that exists but cannot be read fails the open with the error
// Windows gives for that cause; a failed read of a settled file is not kept.
TEST(RegistryUnreadable, FailsTheOpenAndIsNeverKept) {
  using Open = int (*)(const char*, int, mode_t);
  static int error = 0;
  for (const auto& [errno_value, expected] : {std::pair{EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                                              {EACCES, ERROR_ACCESS_DENIED},
                                              {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
                                              {EIO, ERROR_CANTREAD}}) {
    TempHive hive;
    hive.SetDword(kProxy, "ProxyEnable", 1);
    const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, hive.Path().c_str(), long_ago, 0), 0);
    HKEY key = nullptr;
    error = errno_value;
    {
      qbtest::ReplacedSystemCall<Open> open(qbplatform::g_systemCalls.open,
                                            [](const char*, int, mode_t) { return errno = error, -1; });
      EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), expected) << std::strerror(error);
    }
    CheckQuery({kProxy, "ProxyEnable", ERROR_SUCCESS, REG_DWORD, Dw(1)});
  }
}

TEST(RegistryWrite, ALinkedHiveIsWrittenWhereTheLinkLeads) {
  TempHive hive;
  const std::string managed = hive.ConfigHome() + "/dotfiles/user.reg";
  std::filesystem::create_directories(hive.ConfigHome() + "/dotfiles");
  std::filesystem::create_directories(hive.Folder());
  ASSERT_EQ(::symlink("../dotfiles/user.reg", hive.Path().c_str()), 0);
  // While it leads nowhere, neither "no settings" nor a place to create them.
  CheckQuery({kProxy, "", ERROR_CANTOPEN});
  EXPECT_EQ(qbhive::UpdateHive(hive.Path(), [](qbhive::Hive&) { return ERROR_SUCCESS; }), ERROR_CANTREAD);
  hive.WriteFile(kHeader + "[HKEY_CURRENT_USER\\Other]\n\"A\"=dword:1\n");
  ASSERT_EQ(::chmod(managed.c_str(), 0640), 0);
  hive.SetDword(kProxy, "SocksPort", 1080);

  struct stat st {};
  ASSERT_EQ(::lstat(hive.Path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
  ASSERT_EQ(::stat(managed.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  const qbhive::Hive file = qbhive::LoadHive(managed);
  EXPECT_NE(file.FindKey("HKCU\\Other"), nullptr);
  EXPECT_NE(file.FindKey(std::string("HKCU\\") + kProxy), nullptr);
  EXPECT_TRUE(std::filesystem::exists(managed + ".lock")) << "one lock for every link to the file";
  EXPECT_FALSE(std::filesystem::exists(hive.Path() + ".lock"));
}

TEST(RegistryWrite, DeletingValuesAndKeys) {
  TempHive hive;
  hive.SetDword(kProxy, "SocksPort", 1080);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(key, "SOCKSPORT"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "SocksPort", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND)
      << "the handle sees its own write";
  RegCloseKey(key);

  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Quillbrook"), ERROR_ACCESS_DENIED) << "has subkeys";
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, kProxy), ERROR_SUCCESS);
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Quillbrook\\Game\\Share", &gone), ERROR_SUCCESS);
  RegCloseKey(gone);
}

TEST(RegistrySnapshot, AHandleKeepsTheVersionItOpened) {
  TempHive hive;
  hive.SetString(kProxy, "SocksServer", "old");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key), ERROR_SUCCESS);
  hive.SetString(kProxy, "SocksServer", "new");
  CheckQuery({kProxy, "SocksServer", ERROR_SUCCESS, REG_SZ, Sz("new")});
  char buf[8] = {};
  DWORD size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "SocksServer", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "old");
  RegCloseKey(key);
}

// Readers reuse the hive they parsed while the file looks unchanged. An
// edit in place that keeps the size and even puts the old modification
// time back must still be seen: the change time gives it away.
TEST(RegistrySnapshot, InPlaceEditOfASettledFileIsSeen) {
  TempHive hive;
  const std::string before =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\T]\n\"V\"=\"aaa\"\n";
  std::string after = before;
  after.replace(after.find("aaa"), 3, "bbb");
  const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};

  hive.WriteFile(before);
  ASSERT_EQ(utimensat(AT_FDCWD, hive.Path().c_str(), long_ago, 0), 0);
  CheckQuery({"Software\\T", "V", ERROR_SUCCESS, REG_SZ, Sz("aaa")});
  CheckQuery({"Software\\T", "V", ERROR_SUCCESS, REG_SZ, Sz("aaa")});  // from the parsed copy

  hive.WriteFile(after);  // same inode, same size
  ASSERT_EQ(utimensat(AT_FDCWD, hive.Path().c_str(), long_ago, 0), 0);
  CheckQuery({"Software\\T", "V", ERROR_SUCCESS, REG_SZ, Sz("bbb")});
}

// Each write replaces both values at once; a reader's handle must show
// them from one version of the file, never a torn or mixed state.
TEST(RegistryConcurrency, ReaderNeverSeesAMixedState) {
  TempHive hive;
  const std::string path = hive.Path();
  auto write_pair = [&path](DWORD n) {
    return qbhive::UpdateHive(path, [n](qbhive::Hive& h) {
      qbhive::Key* key = h.CreateKey(std::string("HKCU\\") + kProxy);
      key->SetValue("First", REG_DWORD, Dw(n));
      key->SetValue("Second", REG_DWORD, Dw(n));
      key->SetValue("Padding", REG_BINARY, Bytes(n % 4096, 0x5A));  // vary the file's size
      return ERROR_SUCCESS;
    });
  };
  ASSERT_EQ(write_pair(0), ERROR_SUCCESS);

  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, failures{0};
  std::thread reader([&] {
    while (!done.load()) {
      HKEY key = nullptr;
      if (RegOpenKeyA(HKEY_CURRENT_USER, kProxy, &key) != ERROR_SUCCESS) {
        ++failures;
        continue;
      }
      DWORD first = 0, second = 0, size1 = 4, size2 = 4;
      const LONG rc1 = RegQueryValueExA(key, "First", nullptr, nullptr, reinterpret_cast<BYTE*>(&first), &size1);
      std::this_thread::yield();  // give the writer a chance to replace the file in between
      const LONG rc2 = RegQueryValueExA(key, "Second", nullptr, nullptr, reinterpret_cast<BYTE*>(&second), &size2);
      RegCloseKey(key);
      if (rc1 != ERROR_SUCCESS || rc2 != ERROR_SUCCESS || first != second) ++failures;
      ++reads;
    }
  });
  LONG writer_result = ERROR_SUCCESS;
  for (DWORD n = 1; n <= 200 && writer_result == ERROR_SUCCESS; ++n) writer_result = write_pair(n * 37);
  done = true;
  reader.join();
  EXPECT_EQ(writer_result, ERROR_SUCCESS);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(failures.load(), 0);
}

// Two writers incrementing one counter lose no update: the read, edit and
// replace happen under the lock.
TEST(RegistryConcurrency, WritersDoNotLoseUpdates) {
  TempHive hive;
  const std::string path = hive.Path();
  auto increment = [&path] {
    for (int i = 0; i < 50; ++i) {
      qbhive::UpdateHive(path, [](qbhive::Hive& h) {
        qbhive::Key* key = h.CreateKey("HKCU\\Counter");
        const qbhive::Value* v = key->FindValue("N");
        DWORD n = 0;
        if (v != nullptr && v->data.size() == 4) std::memcpy(&n, v->data.data(), 4);
        key->SetValue("N", REG_DWORD, Dw(n + 1));
        return ERROR_SUCCESS;
      });
    }
  };
  std::thread a(increment), b(increment);
  a.join();
  b.join();
  CheckQuery({"Counter", "N", ERROR_SUCCESS, REG_DWORD, Dw(100)});
}

TEST(RegistryHivePath, FollowsTheEnvironmentAtEveryCall) {
  TempHive hive;
  EXPECT_EQ(qbhive::HivePath(), hive.ConfigHome() + "/qbsocks/user.reg");

  const char* old_home = std::getenv("HOME");
  const std::string saved_home = old_home ? old_home : "";
  ::setenv("HOME", "/home/someone", 1);
  ::setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
  EXPECT_EQ(qbhive::HivePath(), "/home/someone/.config/qbsocks/user.reg");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(qbhive::HivePath(), "/home/someone/.config/qbsocks/user.reg");
  ::unsetenv("HOME");
  const std::string from_passwd = qbhive::HivePath();
  EXPECT_TRUE(from_passwd.empty() ||
              (from_passwd[0] == '/' && from_passwd.find("/.config/qbsocks/user.reg") != std::string::npos))
      << from_passwd;
  if (old_home) ::setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace
