// Parsing of qbsocks-reg's command line, table-driven: one table of verbs
// (with the switches each accepts), one of switches, one of value kinds.
#include "reg_args.h"

#include "settings/proxy_settings.h"
#include "settings/reg_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qbreg {

namespace {

struct VerbSpec {
  std::string_view name;
  Verb verb;
  size_t positionals;                // KEY, FILE, ...
  std::string_view positionalNames;  // for the error message
  std::vector<std::string_view> switches;
};

const std::vector<VerbSpec>& Verbs() {
  static const std::vector<VerbSpec> verbs{
      {"query", Verb::kQuery, 1, "KEY", {"v", "ve"}},
      {"add", Verb::kAdd, 1, "KEY", {"v", "ve", "t", "d", "f"}},
      {"delete", Verb::kDelete, 1, "KEY", {"v", "ve", "f"}},
      {"import", Verb::kImport, 1, "FILE", {}},
      {"export", Verb::kExport, 2, "KEY and FILE", {"y"}},
  };
  return verbs;
}

struct SwitchSpec {
  std::string_view name;
  bool takesArgument;
};

constexpr SwitchSpec kSwitches[] = {
    {"v", true}, {"ve", false}, {"t", true}, {"d", true}, {"f", false}, {"y", false},
};

struct TypeSpec {
  std::string_view name;
  DWORD type;
  // The stored bytes for the text after /d, or nullopt with `why` set.
  std::optional<std::vector<uint8_t>> (*parse)(const std::string& text, std::string& why);
};

std::optional<std::vector<uint8_t>> ParseString(const std::string& text, std::string&) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);  // stored with its terminator, as Windows stores REG_SZ
  return bytes;
}

// Decimal, or hexadecimal after 0x, as reg.exe takes it; nothing else.
std::optional<std::vector<uint8_t>> ParseDword(const std::string& text, std::string& why) {
  why = "REG_DWORD data must be a number from 0 to 4294967295 (or 0x0 to 0xffffffff), not \"" + text + "\"";
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  const std::string_view allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) return std::nullopt;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno == ERANGE || value > 0xFFFFFFFFull) return std::nullopt;
  const auto v = static_cast<uint32_t>(value);
  return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 24)};
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Pairs of hex digits, "0a1bff", as reg.exe takes REG_BINARY data.
std::optional<std::vector<uint8_t>> ParseBinary(const std::string& text, std::string& why) {
  why = "REG_BINARY data must be pairs of hex digits (like 0a1bff), not \"" + text + "\"";
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

constexpr TypeSpec kTypes[] = {
    {"REG_SZ", REG_SZ, ParseString},
    {"REG_DWORD", REG_DWORD, ParseDword},
    {"REG_BINARY", REG_BINARY, ParseBinary},
};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(qbhive::NoCaseLess::Fold(static_cast<unsigned char>(c)));
  return out;
}

const SwitchSpec* FindSwitch(const std::string& arg) {
  if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return nullptr;
  const std::string name = Lower(std::string_view(arg).substr(1));
  for (const SwitchSpec& option : kSwitches)
    if (option.name == name) return &option;
  return nullptr;
}

// A root run into the rest of the path ("HKCUSoftwareQuillbrook"): an
// unquoted key whose backslashes a POSIX shell took as escapes.
bool LostItsBackslashes(const std::string& text) {
  if (text.find('\\') != std::string::npos) return false;
  const std::string folded = Lower(text);
  for (const std::string_view root : {"hkey_current_user", "hkcu"}) {
    if (folded.size() > root.size() && folded.compare(0, root.size(), root) == 0) return true;
  }
  return false;
}

// Only the current user's keys live in the settings file.
std::optional<std::string> CurrentUserKey(const std::string& text, std::string& why) {
  const auto canonical = qbhive::CanonicalKeyPath(text);
  const std::string root(qbhive::kCurrentUserRoot);
  if (canonical && canonical->compare(0, root.size(), root) == 0) return canonical;
  if (LostItsBackslashes(text)) {
    why = "\"" + text + "\" is not a key: the shell took its backslashes; quote it, as in 'HKCU\\Software\\...'";
    return std::nullopt;
  }
  why = "\"" + text + "\" is not a key under HKCU\\ or HKEY_CURRENT_USER\\ (the only root kept here)";
  return std::nullopt;
}

ParseResult Fail(std::string why) { return ParseResult{std::nullopt, std::move(why)}; }

struct RawSwitches {
  std::vector<std::pair<std::string, std::string>> given;  // name, argument

  const std::string* Find(std::string_view name) const {
    for (const auto& [n, arg] : given)
      if (n == name) return &arg;
    return nullptr;
  }
  bool Has(std::string_view name) const { return Find(name) != nullptr; }
};

// Fills in the command from the positionals and switches of its verb.
ParseResult Build(const VerbSpec& verb, const std::vector<std::string>& positionals, const RawSwitches& sw,
                  const DataReader& readData) {
  Command command;
  command.verb = verb.verb;
  std::string why;
  if (verb.verb == Verb::kImport) {
    command.file = positionals[0];
  } else {
    auto key = CurrentUserKey(positionals[0], why);
    if (!key) return Fail(why);
    command.key = *key;
    if (verb.verb == Verb::kExport) command.file = positionals[1];
  }

  if (sw.Has("v") && sw.Has("ve")) return Fail("give either /v NAME or /ve, not both");
  if (const std::string* name = sw.Find("v")) command.valueName = *name;
  if (sw.Has("ve")) command.valueName = "";
  command.force = sw.Has("f") || sw.Has("y");

  if (verb.verb == Verb::kAdd) {
    if (!command.valueName) return Fail("add: missing /v NAME (or /ve for the default value)");
    const std::string typeText = sw.Has("t") ? *sw.Find("t") : "REG_SZ";
    const auto type = std::find_if(std::begin(kTypes), std::end(kTypes),
                                   [&](const TypeSpec& t) { return Lower(t.name) == Lower(typeText); });
    if (type == std::end(kTypes))
      return Fail("unknown type \"" + typeText + "\" (use REG_SZ, REG_DWORD or REG_BINARY)");
    if (type->type == REG_DWORD && !sw.Has("d")) return Fail("add: REG_DWORD needs /d NUMBER");
    std::string text = sw.Has("d") ? *sw.Find("d") : std::string();
    if (text == kDataFromInput) {
      const auto line = readData(*command.valueName);
      if (!line) return Fail("/d -: standard input ended before a line of data came");
      text = *line;
    }
    auto data = type->parse(text, why);
    if (!data) return Fail(why);
    command.type = type->type;
    command.data = std::move(*data);
  }
  return ParseResult{std::move(command), {}};
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args, const DataReader& readData) {
  if (args.empty()) return Fail("no command given");
  const std::string verbText = Lower(args[0]);
  if (verbText == "--help" || verbText == "-h" || verbText == "/?" || verbText == "help") {
    return ParseResult{Command{}, {}};
  }
  if (verbText == "--version") {
    Command version;
    version.verb = Verb::kVersion;
    return ParseResult{version, {}};
  }
  const auto verb =
      std::find_if(Verbs().begin(), Verbs().end(), [&](const VerbSpec& v) { return v.name == verbText; });
  if (verb == Verbs().end()) {
    return Fail("unknown command \"" + args[0] + "\" (use query, add, delete, import or export)");
  }

  std::vector<std::string> positionals;
  RawSwitches switches;
  for (size_t i = 1; i < args.size(); ++i) {
    const SwitchSpec* option = FindSwitch(args[i]);
    if (option == nullptr) {
      positionals.push_back(args[i]);
      continue;
    }
    if (std::find(verb->switches.begin(), verb->switches.end(), option->name) == verb->switches.end()) {
      return Fail(std::string(verb->name) + ": /" + std::string(option->name) + " does not apply here");
    }
    if (switches.Has(option->name)) return Fail("/" + std::string(option->name) + " given twice");
    std::string argument;
    if (option->takesArgument) {
      if (i + 1 >= args.size()) return Fail("/" + std::string(option->name) + " needs a value after it");
      argument = args[++i];
    }
    switches.given.emplace_back(std::string(option->name), std::move(argument));
  }
  if (positionals.size() != verb->positionals) {
    return Fail(std::string(verb->name) + ": expected " + std::string(verb->positionalNames) + ", got " +
                std::to_string(positionals.size()) + " argument(s)");
  }
  return Build(*verb, positionals, switches, readData);
}

std::string TypeName(DWORD type) {
  static constexpr std::pair<DWORD, std::string_view> kNames[] = {
      {REG_NONE, "REG_NONE"},           {REG_SZ, "REG_SZ"},
      {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
      {REG_DWORD, "REG_DWORD"},         {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
      {REG_LINK, "REG_LINK"},           {REG_MULTI_SZ, "REG_MULTI_SZ"},
      {REG_QWORD, "REG_QWORD"},
  };
  for (const auto& [value, name] : kNames)
    if (value == type) return std::string(name);
  char buf[24];
  std::snprintf(buf, sizeof buf, "REG_0x%x", static_cast<unsigned>(type));
  return buf;
}

std::string UsageText() {
  return R"(Usage: qbsocks-reg COMMAND ...
Reads and writes the QBSocks32 settings, as reg.exe does on Windows.

  qbsocks-reg query  KEY [/v NAME | /ve]
  qbsocks-reg add    KEY (/v NAME | /ve) [/t REG_SZ|REG_DWORD|REG_BINARY] [/d DATA | /d -] [/f]
  qbsocks-reg delete KEY [/v NAME | /ve] [/f]
  qbsocks-reg import FILE.reg
  qbsocks-reg export KEY FILE.reg [/y]
  qbsocks-reg --version

KEY is HKCU\... or HKEY_CURRENT_USER\...; every option may start with - instead of /.
/t defaults to REG_SZ. REG_DWORD data is decimal or 0x-hex; REG_BINARY data is hex
pairs (0a1bff). Without /v, delete removes the key with all its subkeys.
/d - reads the data from standard input instead: one line, its line end dropped,
typed without echo at a terminal. A password given so stays out of the command
line, which other users see (ps) and the shell's history keeps:
  qbsocks-reg add KEY /v Password /d - /f

add over an existing value, and delete, ask for confirmation when standard input is
a terminal; otherwise they refuse unless /f is given. export refuses to replace an
existing file unless /y is given; it writes UTF-8 .reg text (mode 0600: the password
is in it). import takes what regedit exports (UTF-16LE with a byte-order mark, or
ASCII/UTF-8), for keys under HKEY_CURRENT_USER only.

The settings file is ${XDG_CONFIG_HOME:-$HOME/.config}/qbsocks/user.reg; it is
replaced atomically under a lock. A warning is printed when other users can read it.
Nothing is written that a reader would drop: a change that would bring the file past
what a reader takes from one file (65,536 keys, 262,144 values, 8 MiB of key paths),
an import cut short by those caps, or a key beyond Windows' limits (a name over 255
characters, more than 512 levels) is refused. A file past the caps can still be made
smaller with delete; sections no reader takes are kept as they stand.

add and import also warn, one line on standard error per value, when they store
one of the six proxy values in a way that leaves the proxy off or the value
unread: a kind QBSocks32 does not read (SocksServer, UserName and Password must
be REG_SZ; SocksPort, SocksVersion and ProxyEnable REG_DWORD, so a number needs
/t REG_DWORD), a SocksServer over 63 bytes, a UserName or Password over 31 bytes
(a character beyond ASCII takes two to four in UTF-8), a SocksPort of 0 or
above 65535, a SocksVersion other than 4 or 5, an empty SocksServer. add and
delete warn too when they leave ProxyEnable on with no SocksServer QBSocks32
takes: it then turns the proxy off, and every connect goes direct. The value
is stored all the same, and the exit status is what it would be without it.

Example: the proxy settings QBSocks32 reads (in a shell, quote the key)
  K='HKCU\)" QBSOCKS_PROXY_KEY R"('
  qbsocks-reg add "$K" /v SocksServer /d 127.0.0.1 /f
  qbsocks-reg add "$K" /v SocksPort /t REG_DWORD /d 1080 /f
  qbsocks-reg add "$K" /v SocksVersion /t REG_DWORD /d 5 /f
  qbsocks-reg add "$K" /v ProxyEnable /t REG_DWORD /d 1 /f
  qbsocks-reg query "$K"

Exit status: 0 on success, 1 on failure (with one line on standard error, and
a second that points here when the command line is wrong).
)";
}

}  // namespace qbreg
