// The hive file: model, .reg text parser and writer, atomic file update.
#include "posix/registry_hive.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qbhive {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsSpace(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsSpace(s[n - 1])) --n;
  return s.substr(0, n);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && NoCaseEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to max_digits hex digits and nothing else.
std::optional<uint32_t> ParseHexNumber(std::string_view s, size_t max_digits) {
  if (s.empty() || s.size() > max_digits) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

// ---- Text encodings ----
//
// Bytes that are not valid UTF-8 travel through UTF-16 as the lone low
// surrogates U+DC80..U+DCFF (one per byte) and come back as the same byte,
// so that any 8-bit string survives a trip through regedit's UTF-16 form.

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// An odd trailing byte has no UTF-16 unit and is dropped.
std::string Utf16LeToUtf8(const uint8_t* p, size_t n) {
  std::string out;
  out.reserve(n);
  const size_t units = n / 2;
  auto unit_at = [p](size_t i) { return static_cast<uint32_t>(p[2 * i] | (p[2 * i + 1] << 8)); };
  for (size_t i = 0; i < units; ++i) {
    const uint32_t u = unit_at(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const uint32_t low = unit_at(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xDC80 && u <= 0xDCFF) {
      out += static_cast<char>(u - 0xDC00);  // an escaped raw byte
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8SequenceAt(std::string_view s, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  size_t len;
  uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool IsValidUtf8(std::string_view s) {
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    const size_t len = Utf8SequenceAt(s, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::vector<uint8_t> Utf8ToUtf16Le(std::string_view s) {
  std::vector<uint8_t> out;
  out.reserve(s.size() * 2);
  auto put = [&out](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    const size_t len = Utf8SequenceAt(s, i, cp);
    if (len == 0) {
      put(0xDC00 + static_cast<unsigned char>(s[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  return out;
}

bool IsStringKind(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The file as UTF-8 text, whatever it was stored as.
std::string DecodeFile(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) return Utf16LeToUtf8(p + 2, bytes.size() - 2);
  if (bytes.size() >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return std::string(bytes.substr(3));
  return std::string(bytes);
}

// ---- Parsing ----

enum class Dialect { kUnicode, kAnsi };  // 5.00 (UTF-16 string data) or REGEDIT4 (8-bit)

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    if (!Peek(line)) return false;
    pos_ = next_pos_;
    return true;
  }

  bool Peek(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const size_t end = text_.find('\n', pos_);
    const size_t stop = end == std::string_view::npos ? text_.size() : end;
    next_pos_ = end == std::string_view::npos ? text_.size() : end + 1;
    line = text_.substr(pos_, stop - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  size_t next_pos_ = 0;
};

// A quoted name or text starting at s[0] == '"'. Only \\ and \" are
// escapes; any other backslash stays as it is. Sets `used` to the number
// of characters taken, closing quote included.
std::optional<std::string> ParseQuoted(std::string_view s, size_t& used) {
  if (s.empty() || s[0] != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      used = i + 1;
      return out;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[++i];
    } else {
      out += c;
    }
  }
  return std::nullopt;  // no closing quote
}

// "01,ab,ff" (a trailing comma allowed) -> bytes.
std::optional<std::vector<uint8_t>> ParseHexList(std::string_view s) {
  std::vector<uint8_t> out;
  s = Trim(s);
  if (s.empty()) return out;
  while (true) {
    const size_t comma = s.find(',');
    const std::string_view token = Trim(s.substr(0, comma));
    const auto byte = ParseHexNumber(token, 2);
    if (!byte) return std::nullopt;
    out.push_back(static_cast<uint8_t>(*byte));
    if (comma == std::string_view::npos) return out;
    s = s.substr(comma + 1);
    if (Trim(s).empty()) return out;
  }
}

bool StartsSomethingElse(std::string_view line) {
  line = TrimLeft(line);
  return !line.empty() && (line[0] == '[' || line[0] == '"' || line[0] == '@' || line[0] == ';');
}

// The hex list of a value line, joined with its continuation lines (a
// line ending in '\' goes on in the next one). A following line that
// starts a section, a value or a comment is never taken as a continuation,
// so a truncated value does not swallow what comes after it; such a
// value is incomplete (nullopt) and dropped.
std::optional<std::string> JoinContinuations(std::string_view first, LineReader& lines) {
  std::string joined(TrimRight(first));
  while (!joined.empty() && joined.back() == '\\') {
    joined.pop_back();
    std::string_view next;
    if (!lines.Peek(next) || StartsSomethingElse(next)) return std::nullopt;
    lines.Next(next);
    joined += TrimRight(TrimLeft(next));
  }
  return joined;
}

struct ParsedData {
  DWORD type;
  std::vector<uint8_t> data;
};

// What follows "hex" in a value line: ":..." or "(N):...".
std::optional<ParsedData> ParseHexValue(std::string_view rest, LineReader& lines, Dialect dialect) {
  DWORD type = REG_BINARY;
  if (!rest.empty() && rest[0] == '(') {
    const size_t close = rest.find(')');
    if (close == std::string_view::npos) return std::nullopt;
    const auto kind = ParseHexNumber(Trim(rest.substr(1, close - 1)), 8);
    if (!kind) return std::nullopt;
    type = *kind;
    rest = rest.substr(close + 1);
  }
  rest = TrimLeft(rest);
  if (rest.empty() || rest[0] != ':') return std::nullopt;
  const auto joined = JoinContinuations(rest.substr(1), lines);
  if (!joined) return std::nullopt;
  auto bytes = ParseHexList(*joined);
  if (!bytes) return std::nullopt;
  if (dialect == Dialect::kUnicode && IsStringKind(type)) {
    const std::string text = Utf16LeToUtf8(bytes->data(), bytes->size());
    bytes->assign(text.begin(), text.end());
  }
  return ParsedData{type, std::move(*bytes)};
}

// One value line. `key` is null when the line sits in no usable section;
// the line (and its continuations) is read all the same.
void ApplyValueLine(Key* key, std::string_view line, LineReader& lines, Dialect dialect) {
  std::string name;
  size_t used = 1;
  if (line[0] == '"') {
    auto quoted = ParseQuoted(line, used);
    if (!quoted) return;
    name = std::move(*quoted);
  }
  std::string_view rest = TrimLeft(line.substr(used));
  if (rest.empty() || rest[0] != '=') return;
  rest = TrimLeft(rest.substr(1));

  std::optional<ParsedData> parsed;
  if (TrimRight(rest) == "-") {
    if (key) key->DeleteValue(name);
    return;
  }
  if (!rest.empty() && rest[0] == '"') {
    size_t text_used = 0;
    auto text = ParseQuoted(rest, text_used);
    if (!text || !Trim(rest.substr(text_used)).empty()) return;
    std::vector<uint8_t> data(text->begin(), text->end());
    data.push_back(0);
    parsed = ParsedData{REG_SZ, std::move(data)};
  } else if (StartsWithNoCase(rest, "dword:")) {
    const auto v = ParseHexNumber(Trim(rest.substr(6)), 8);
    if (!v) return;
    parsed = ParsedData{REG_DWORD, {static_cast<uint8_t>(*v), static_cast<uint8_t>(*v >> 8),
                                    static_cast<uint8_t>(*v >> 16), static_cast<uint8_t>(*v >> 24)}};
  } else if (StartsWithNoCase(rest, "hex")) {
    parsed = ParseHexValue(rest.substr(3), lines, dialect);
  }
  if (parsed && key) key->SetValue(name, parsed->type, std::move(parsed->data));
}

// A section line "[PATH]" or "[-PATH]"; returns the key later values go to.
Key* ApplySectionLine(Hive& hive, std::string_view line) {
  const size_t close = line.rfind(']');
  if (close == std::string_view::npos || !Trim(line.substr(close + 1)).empty()) return nullptr;
  std::string_view path = line.substr(1, close - 1);
  if (!path.empty() && path[0] == '-') {
    hive.DeleteKey(path.substr(1));
    return nullptr;
  }
  return hive.CreateKey(path);
}

// ---- Writing ----

void AppendQuoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A REG_SZ that regedit would write as "text": one terminator at the end
// and nothing in it that the quoted form cannot carry.
bool FitsQuotedForm(const Value& v) {
  if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
  const std::string_view text(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1);
  return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos && IsValidUtf8(text);
}

void AppendHexList(std::string& out, const std::vector<uint8_t>& bytes, size_t column) {
  static constexpr char kDigits[] = "0123456789abcdef";
  constexpr size_t kWidth = 78;  // regedit wraps near 80 columns
  for (size_t i = 0; i < bytes.size(); ++i) {
    const size_t piece = i + 1 < bytes.size() ? 3 : 2;
    if (i > 0 && column + piece > kWidth) {
      out += "\\\n  ";
      column = 2;
    }
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
    if (piece == 3) out += ',';
    column += piece;
  }
}

void AppendValue(std::string& out, const Value& v) {
  const size_t line_start = out.size();
  if (v.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, v.name);
  }
  out += '=';
  if (FitsQuotedForm(v)) {
    AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    char buf[16];
    const uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(n));
    out += buf;
  } else {
    if (v.type == REG_BINARY) {
      out += "hex:";
    } else {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
      out += buf;
    }
    if (IsStringKind(v.type)) {
      AppendHexList(out, Utf8ToUtf16Le(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size())),
                    out.size() - line_start);
    } else {
      AppendHexList(out, v.data, out.size() - line_start);
    }
  }
  out += '\n';
}

void AppendKey(std::string& out, const Key& key) {
  out += '[';
  out += key.path;
  out += "]\n";
  for (const auto& entry : key.values) AppendValue(out, entry.second);
  out += '\n';
}

std::string Header() {
  std::string out(kHeader5);
  out += "\n\n";
  return out;
}

// ---- Files ----

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

enum class ReadResult { kOk, kMissing, kError };

constexpr size_t kMaxHiveBytes = 64u << 20;  // a settings file, not a database

ReadResult ReadHiveFile(const std::string& path, std::string& bytes, mode_t& mode) {
  // O_NONBLOCK so that a FIFO in the file's place cannot hang a reader.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return (errno == ENOENT || errno == ENOTDIR) ? ReadResult::kMissing : ReadResult::kError;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxHiveBytes) {
    return ReadResult::kError;
  }
  mode = st.st_mode & 07777;
  bytes.clear();
  std::array<char, 65536> buf;
  while (true) {
    const ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadResult::kError;
    if (n == 0) return ReadResult::kOk;
    bytes.append(buf.data(), static_cast<size_t>(n));
    if (bytes.size() > kMaxHiveBytes) return ReadResult::kError;
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ParentDir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MakeDirs(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos < dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool LockExclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool FsyncDir(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

// Writes `text` to a new file beside `path` and renames it over `path`.
bool ReplaceFile(const std::string& path, std::string_view text, mode_t mode) {
  std::string tmp = path + ".XXXXXX";
  Fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (fd.get() < 0) return false;
  const bool written = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0 &&
                       ::close(fd.release()) == 0 && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!written) {
    ::unlink(tmp.c_str());
    return false;
  }
  FsyncDir(ParentDir(path));  // the rename is done; a failed directory sync loses durability only
  return true;
}

std::string HomeFromPasswordDatabase() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* result = nullptr;
  while (true) {
    const int rc = ::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr || pw.pw_dir == nullptr) return {};
    return pw.pw_dir;
  }
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kRoots{{
    {"HKEY_CLASSES_ROOT", "HKCR"},
    {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},
    {"HKEY_CURRENT_CONFIG", "HKCC"},
}};

}  // namespace

bool NoCaseEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (NoCaseLess::Fold(static_cast<unsigned char>(a[i])) != NoCaseLess::Fold(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// ---- Key ----

const Value* Key::FindValue(std::string_view name) const {
  const auto it = values.find(name);
  return it == values.end() ? nullptr : &it->second;
}

void Key::SetValue(std::string_view name, DWORD type, std::vector<uint8_t> data) {
  auto it = values.find(name);
  if (it == values.end()) it = values.emplace(std::string(name), Value{std::string(name), type, {}}).first;
  it->second.type = type;
  it->second.data = std::move(data);
}

bool Key::DeleteValue(std::string_view name) {
  const auto it = values.find(name);
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

// ---- Hive ----

std::optional<std::string> CanonicalKeyPath(std::string_view path) {
  std::string out;
  bool have_root = false;
  while (!path.empty()) {
    const size_t sep = path.find('\\');
    const std::string_view part = path.substr(0, sep);
    path = sep == std::string_view::npos ? std::string_view() : path.substr(sep + 1);
    if (part.empty()) continue;
    if (!have_root) {
      for (const auto& [name, alias] : kRoots) {
        if (NoCaseEqual(part, name) || NoCaseEqual(part, alias)) out = name;
      }
      if (out.empty()) return std::nullopt;
      have_root = true;
      continue;
    }
    out += '\\';
    out += part;
  }
  if (!have_root) return std::nullopt;
  return out;
}

const Key* Hive::FindKey(std::string_view path) const {
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return nullptr;
  const auto it = keys_.find(*canonical);
  return it == keys_.end() ? nullptr : &it->second;
}

Key* Hive::FindKey(std::string_view path) {
  return const_cast<Key*>(static_cast<const Hive*>(this)->FindKey(path));
}

Key* Hive::CreateKey(std::string_view path) {
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return nullptr;
  // Ancestors below the root first, then the key itself.
  size_t sep = canonical->find('\\');
  while (sep != std::string::npos) {
    sep = canonical->find('\\', sep + 1);
    const std::string prefix = canonical->substr(0, sep);
    if (keys_.find(prefix) == keys_.end()) keys_.emplace(prefix, Key{prefix, {}});
  }
  auto it = keys_.find(*canonical);
  if (it == keys_.end()) it = keys_.emplace(*canonical, Key{*canonical, {}}).first;
  return &it->second;
}

bool Hive::DeleteKey(std::string_view path) {
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return false;
  const auto it = keys_.find(*canonical);
  if (it == keys_.end()) return false;
  keys_.erase(it);
  // Subkeys sort right after "<path>\" and are contiguous.
  const std::string prefix = *canonical + '\\';
  auto sub = keys_.lower_bound(prefix);
  while (sub != keys_.end() && StartsWithNoCase(sub->first, prefix)) sub = keys_.erase(sub);
  return true;
}

bool Hive::HasSubkeys(std::string_view path) const {
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return false;
  const std::string prefix = *canonical + '\\';
  const auto sub = keys_.lower_bound(prefix);
  return sub != keys_.end() && StartsWithNoCase(sub->first, prefix);
}

// ---- Text ----

void ApplyRegText(Hive& hive, std::string_view bytes) {
  const std::string text = DecodeFile(bytes);
  LineReader lines(text);
  Dialect dialect = Dialect::kUnicode;
  bool seen_first_line = false;
  Key* key = nullptr;  // values outside a usable section are dropped
  std::string_view line;
  while (lines.Next(line)) {
    line = TrimLeft(line);
    if (line.empty()) continue;
    if (!seen_first_line) {
      seen_first_line = true;
      const std::string_view first = TrimRight(line);
      if (first == kHeader4) dialect = Dialect::kAnsi;
      if (first == kHeader4 || first == kHeader5) continue;
    }
    switch (line[0]) {
      case ';':
        break;
      case '[':
        key = ApplySectionLine(hive, line);
        break;
      case '"':
      case '@':
        ApplyValueLine(key, line, lines, dialect);
        break;
      default:
        break;  // not a line we understand
    }
  }
}

Hive ParseRegText(std::string_view bytes) {
  Hive hive;
  ApplyRegText(hive, bytes);
  return hive;
}

std::string SerializeRegText(const Hive& hive) {
  std::string out = Header();
  for (const auto& entry : hive.Keys()) AppendKey(out, entry.second);
  return out;
}

std::string ExportKey(const Hive& hive, std::string_view path) {
  std::string out = Header();
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return out;
  const auto& keys = hive.Keys();
  const auto it = keys.find(*canonical);
  if (it == keys.end()) return out;
  AppendKey(out, it->second);
  const std::string prefix = *canonical + '\\';
  for (auto sub = keys.lower_bound(prefix); sub != keys.end() && StartsWithNoCase(sub->first, prefix); ++sub) {
    AppendKey(out, sub->second);
  }
  return out;
}

// ---- Files ----

std::string HivePath() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {  // a relative value is ignored, as XDG says
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string home_dir = (home != nullptr && home[0] != '\0') ? std::string(home) : HomeFromPasswordDatabase();
    if (home_dir.empty()) return {};
    base = home_dir + "/.config";
  }
  return base + "/qbsocks/user.reg";
}

Hive LoadHive(const std::string& path) {
  std::string bytes;
  mode_t mode = 0;
  if (path.empty() || ReadHiveFile(path, bytes, mode) != ReadResult::kOk) return Hive{};
  return ParseRegText(bytes);
}

LONG UpdateHive(const std::string& path, const std::function<LONG(Hive&)>& edit) {
  if (path.empty() || !edit) return ERROR_INVALID_PARAMETER;
  if (!MakeDirs(ParentDir(path))) return ERROR_CANTWRITE;

  const std::string lock_path = path + ".lock";
  Fd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
  if (lock.get() < 0 || !LockExclusive(lock.get())) return ERROR_CANTWRITE;

  std::string bytes;
  mode_t mode = 0600;
  const ReadResult read = ReadHiveFile(path, bytes, mode);
  if (read == ReadResult::kError) return ERROR_CANTREAD;

  Hive hive = read == ReadResult::kOk ? ParseRegText(bytes) : Hive{};
  const LONG rc = edit(hive);
  if (rc != ERROR_SUCCESS) return rc;
  return ReplaceFile(path, SerializeRegText(hive), mode) ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

}  // namespace qbhive
