// The .reg text writer: the model, or one key with its subkeys, as the UTF-8
// text regedit would export (SerializeRegText, ExportKey).
#include "reg_text.h"

#include <cstdio>

namespace qbhive {

namespace {

void AppendQuoted(WipedString& out, std::string_view s) {
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

template <typename Bytes>
void AppendHexList(WipedString& out, const Bytes& bytes, size_t column) {
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

// false, and nothing written, for a name the text cannot carry.
bool AppendValue(WipedString& out, const Value& v) {
  if (!IsStorableName(v.name)) return false;
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
  return true;
}

// false when the key's path, or a value's name, is one the text cannot
// carry: that key, or that value, is left out.
bool AppendKey(WipedString& out, const Key& key) {
  if (!IsStorableName(key.path)) return false;
  out += '[';
  out += key.path;
  out += "]\n";
  bool whole = true;
  for (const auto& entry : key.values) whole = AppendValue(out, entry.second) && whole;
  out += '\n';
  return whole;
}

WipedString Header() {
  WipedString out(kHeader5);
  out += "\n\n";
  return out;
}

// The text in a plain string of its own size (the working copy wipes itself).
std::string Plain(const WipedString& text) { return std::string(text.data(), text.size()); }

}  // namespace

bool SerializeWiped(const Hive& hive, WipedString& out) {
  out = Header();
  bool whole = true;
  for (const auto& entry : hive.Keys()) whole = AppendKey(out, entry.second) && whole;
  // As they stood, after the keys: readers skip them again.
  for (const Value& section : hive.SkippedSections()) out.append(section.data.begin(), section.data.end());
  return whole;
}

std::string SerializeRegText(const Hive& hive) {
  WipedString out;
  SerializeWiped(hive, out);
  return Plain(out);
}

std::string ExportKey(const Hive& hive, std::string_view path) {
  WipedString out = Header();
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return Plain(out);
  const auto& keys = hive.Keys();
  const auto it = keys.find(*canonical);
  if (it == keys.end()) return Plain(out);
  AppendKey(out, it->second);
  const std::string prefix = *canonical + '\\';
  for (auto sub = keys.lower_bound(prefix); sub != keys.end() && StartsWithNoCase(sub->first, prefix); ++sub) {
    AppendKey(out, sub->second);
  }
  return Plain(out);
}

}  // namespace qbhive
