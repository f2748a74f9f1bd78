// The .reg text parser: regedit's import rules applied line by line to the
// model (ApplyRegText, ParseRegText).
#include "reg_text.h"
#include "read_bound.h"

#include <optional>
#include <tuple>
#include <utility>

namespace qbhive {

namespace {

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

enum class Dialect { kUnicode, kAnsi };  // 5.00 (UTF-16 string data) or REGEDIT4 (8-bit)

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    if (!Peek(line)) return false;
    pos_ = next_pos_;
    return true;
  }

  // Where the next line starts.
  size_t Position() const { return pos_; }

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
template <typename Text = std::string>
std::optional<Text> ParseQuoted(std::string_view s, size_t& used) {
  if (s.empty() || s[0] != '"') return std::nullopt;
  Text out;
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
std::optional<WipedBytes> ParseHexList(std::string_view s) {
  WipedBytes out;
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
std::optional<WipedString> JoinContinuations(std::string_view first, LineReader& lines) {
  WipedString joined(TrimRight(first));
  while (!joined.empty() && joined.back() == '\\') {
    joined.pop_back();
    std::string_view next;
    if (!lines.Peek(next) || StartsSomethingElse(next)) return std::nullopt;
    lines.Next(next);
    joined += TrimRight(TrimLeft(next));
  }
  return joined;
}

// What follows "hex" in a value line: ":..." or "(N):...". The type and
// data come in a Value (unnamed), which wipes the data if it goes unused.
std::optional<Value> ParseHexValue(std::string_view rest, LineReader& lines, Dialect dialect) {
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
    const WipedString text = Utf16LeToUtf8(bytes->data(), bytes->size());
    bytes->assign(text.begin(), text.end());
  }
  return Value{{}, type, std::vector<uint8_t>(bytes->begin(), bytes->end())};
}

// What one text may still add to the hive (reg_store.h has the caps).
struct Allowance {
  explicit Allowance(size_t scale)
      : keys(kMaxKeysPerText * scale),
        values(kMaxValuesPerText * scale),
        path_bytes(kMaxKeyPathBytesPerText * scale) {}
  size_t keys;
  size_t values;
  size_t path_bytes;
  bool cut_short = false;  // something was skipped for want of it
};

// One value line. `key` is null when the line sits in no usable section;
// the line (and its continuations) is read all the same.
void ApplyValueLine(Hive& hive, Key* key, std::string_view line, LineReader& lines, Dialect dialect,
                    Allowance& allowance) {
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

  std::optional<Value> parsed;
  if (TrimRight(rest) == "-") {
    if (key) key->DeleteValue(name);
    return;
  }
  if (!rest.empty() && rest[0] == '"') {
    size_t text_used = 0;
    auto text = ParseQuoted<WipedString>(rest, text_used);
    if (!text || !Trim(rest.substr(text_used)).empty()) return;
    std::vector<uint8_t> data;
    data.reserve(text->size() + 1);  // no smaller block left behind with the text in it
    data.assign(text->begin(), text->end());
    data.push_back(0);
    parsed = Value{{}, REG_SZ, std::move(data)};
  } else if (StartsWithNoCase(rest, "dword:")) {
    const auto v = ParseHexNumber(Trim(rest.substr(6)), 8);
    if (!v) return;
    parsed = Value{{},
                   REG_DWORD,
                   {static_cast<uint8_t>(*v), static_cast<uint8_t>(*v >> 8), static_cast<uint8_t>(*v >> 16),
                    static_cast<uint8_t>(*v >> 24)}};
  } else if (StartsWithNoCase(rest, "hex")) {
    parsed = ParseHexValue(rest.substr(3), lines, dialect);
  }
  if (!parsed) return;
  if (!IsStorableName(name)) {
    hive.MarkSkippedUnstorableName();
    return;
  }
  if (!key) return;
  if (key->FindValue(name) == nullptr) {
    if (allowance.values == 0) {
      allowance.cut_short = true;
      key->values_cut = true;
      return;
    }
    --allowance.values;
  }
  key->SetValue(name, parsed->type, std::move(parsed->data));
}

// The new keys' count and path bytes when levels `first` to the last are
// created.
std::pair<size_t, size_t> CostOfLevels(const std::vector<size_t>& ends, size_t first) {
  size_t path_bytes = 0;
  for (size_t level = first; level < ends.size(); ++level) path_bytes += ends[level];
  return {ends.size() - first, path_bytes};
}

// The key of a section, created with its missing ancestors when the
// limits and what the text may still add allow it; null when not.
Key* CreateSectionKey(Hive& hive, const std::string& canonical, Allowance& allowance) {
  const std::vector<size_t> ends = LevelEnds(canonical);
  if (!KeepsKeyLimits(canonical, ends)) return nullptr;
  const size_t depth = ends.size() - 1;
  const size_t first_possible = depth == 0 ? 0 : 1;  // the root is created only for itself
  auto [keys, path_bytes] = CostOfLevels(ends, first_possible);
  if (keys > allowance.keys || path_bytes > allowance.path_bytes) {
    // Not every level fits what is left: count the ones really missing.
    if (Key* existing = hive.FindKey(canonical)) return existing;
    const size_t first = depth == 0 ? 0 : LevelsPresent(hive.Keys(), canonical, ends, depth) + 1;
    std::tie(keys, path_bytes) = CostOfLevels(ends, first);
    if (keys > allowance.keys || path_bytes > allowance.path_bytes) {
      allowance.cut_short = true;
      return nullptr;
    }
  }
  const size_t before = hive.Keys().size();
  Key* key = hive.CreateKey(canonical);
  // The levels it created are the last ones.
  const size_t created = hive.Keys().size() - before;
  allowance.keys -= created;
  allowance.path_bytes -= CostOfLevels(ends, ends.size() - created).second;
  return key;
}

// A section line "[PATH]" or "[-PATH]"; returns the key later values go to.
// `skipped` says whether the section is one a reader never takes (not a
// deletion, nor one left out for a cap).
Key* ApplySectionLine(Hive& hive, std::string_view line, Allowance& allowance, bool& skipped) {
  skipped = true;
  const size_t close = line.rfind(']');
  if (close == std::string_view::npos || !Trim(line.substr(close + 1)).empty()) return nullptr;
  std::string_view path = line.substr(1, close - 1);
  if (!path.empty() && path[0] == '-') {
    skipped = false;
    hive.DeleteKey(path.substr(1));
    return nullptr;
  }
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return nullptr;
  if (!IsStorableName(*canonical)) {
    hive.MarkSkippedUnstorableName();
    return nullptr;
  }
  const bool was_cut = allowance.cut_short;
  allowance.cut_short = false;
  Key* key = CreateSectionKey(hive, *canonical, allowance);
  skipped = key == nullptr && !allowance.cut_short;
  allowance.cut_short = allowance.cut_short || was_cut;
  return key;
}

}  // namespace

RegHeader HeaderOf(std::string_view line) {
  line = TrimRight(line);
  if (line == kHeader5) return RegHeader::kVersion5;
  if (line == kHeader4) return RegHeader::kRegedit4;
  return RegHeader::kNone;
}

RegHeader FileHeader(std::string_view bytes) {
  constexpr size_t kFirstLineAtMost = 512;  // bytes enough for either header, in UTF-16 too
  WipedString converted;
  const std::string_view text = DecodeFile(bytes.substr(0, kFirstLineAtMost), converted);
  return HeaderOf(text.substr(0, text.find('\n')));
}

bool ApplyRegTextUpToCaps(Hive& hive, std::string_view bytes, size_t scale, const qbplatform::ReadBound* bound) {
  WipedString converted;
  const std::string_view text = DecodeFile(bytes, converted);
  LineReader lines(text);
  Allowance allowance(scale);
  Dialect dialect = Dialect::kUnicode;
  bool seen_first_line = false;
  Key* key = nullptr;  // values outside a usable section are dropped
  // The skipped section being read: its line, and where its text starts.
  std::string_view skipped_line;
  size_t skipped_from = std::string_view::npos;
  const auto keep_skipped = [&](size_t end) {
    if (skipped_from != std::string_view::npos)
      hive.KeepSkippedSection(skipped_line, text.substr(skipped_from, end - skipped_from));
    skipped_from = std::string_view::npos;
  };
  std::string_view line;
  // A reader with a bound looks at it every so many bytes: a large file
  // then costs it no more than its bound (the caller discards the part).
  constexpr size_t kBoundCheckBytes = 64 * 1024;
  size_t next_bound_check = kBoundCheckBytes;
  while (true) {
    const size_t line_start = lines.Position();
    if (line_start >= next_bound_check) {
      if (qbplatform::GivesUp(bound)) {
        allowance.cut_short = true;
        break;
      }
      next_bound_check = line_start + kBoundCheckBytes;
    }
    if (!lines.Next(line)) break;
    line = TrimLeft(line);
    if (line.empty()) continue;
    if (!seen_first_line) {
      seen_first_line = true;
      const RegHeader header = HeaderOf(line);
      if (header == RegHeader::kRegedit4) dialect = Dialect::kAnsi;
      if (header != RegHeader::kNone) continue;
    }
    switch (line[0]) {
      case ';': break;
      case '[': {
        keep_skipped(line_start);
        bool skipped = false;
        key = ApplySectionLine(hive, line, allowance, skipped);
        if (skipped) {
          skipped_line = TrimRight(line);
          skipped_from = line_start;
        }
        break;
      }
      case '"':
      case '@': ApplyValueLine(hive, key, line, lines, dialect, allowance); break;
      default: break;  // not a line we understand
    }
  }
  keep_skipped(text.size());
  if (allowance.cut_short) hive.MarkCutShort();
  return !allowance.cut_short;
}

void ApplyRegText(Hive& hive, std::string_view bytes) { ApplyRegTextUpToCaps(hive, bytes); }

Hive ParseRegText(std::string_view bytes) {
  Hive hive;
  ApplyRegText(hive, bytes);
  return hive;
}

}  // namespace qbhive
