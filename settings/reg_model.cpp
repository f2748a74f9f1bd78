// The .reg file's model in memory: keys and their values, names compared
// without regard to case, key paths canonicalised to their full root.
#include "reg_text.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace qbhive {

namespace {

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

bool IsStorableName(std::string_view name) {
  return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

void Wipe(void* p, size_t n) {
  if (p != nullptr && n != 0) ::explicit_bzero(p, n);
}

// ---- Value ----

namespace {

void WipeData(std::vector<uint8_t>& data) { Wipe(data.data(), data.size()); }

}  // namespace

Value& Value::operator=(const Value& other) {
  if (this == &other) return *this;
  WipeData(data);  // the copy may need a new block and free this one
  name = other.name;
  type = other.type;
  data = other.data;
  return *this;
}

Value& Value::operator=(Value&& other) noexcept {
  if (this == &other) return *this;
  WipeData(data);
  name = std::move(other.name);
  type = other.type;
  data = std::move(other.data);
  return *this;
}

Value::~Value() { WipeData(data); }

// ---- Key ----

const Value* Key::FindValue(std::string_view name) const {
  const auto it = values.find(name);
  return it == values.end() ? nullptr : &it->second;
}

bool Key::SetValue(std::string_view name, DWORD type, std::vector<uint8_t> data) {
  if (!IsStorableName(name)) {
    WipeData(data);
    return false;
  }
  auto it = values.find(name);
  if (it == values.end()) it = values.emplace(std::string(name), Value{std::string(name), type, {}}).first;
  it->second.type = type;
  WipeData(it->second.data);  // freed by the assignment
  it->second.data = std::move(data);
  return true;
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

namespace {

// Whether CanonicalKeyPath would give the path back as it is: a root
// spelled out, no empty component. Readers look keys up by such paths at
// every connect, and this way without building a string.
bool IsCanonical(std::string_view path) {
  const size_t sep = path.find('\\');
  const std::string_view root = path.substr(0, sep);
  const bool spelled_out =
      std::any_of(kRoots.begin(), kRoots.end(), [&](const auto& known) { return known.first == root; });
  if (!spelled_out || sep == std::string_view::npos) return spelled_out;
  const std::string_view rest = path.substr(sep);
  return rest.back() != '\\' && rest.find("\\\\") == std::string_view::npos;
}

}  // namespace

const Key* Hive::FindKey(std::string_view path) const {
  if (IsCanonical(path)) {
    const auto it = keys_.find(path);
    return it == keys_.end() ? nullptr : &it->second;
  }
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return nullptr;
  const auto it = keys_.find(*canonical);
  return it == keys_.end() ? nullptr : &it->second;
}

Key* Hive::FindKey(std::string_view path) { return const_cast<Key*>(static_cast<const Hive*>(this)->FindKey(path)); }

std::vector<size_t> LevelEnds(std::string_view canonical) {
  std::vector<size_t> ends;
  for (size_t sep = canonical.find('\\'); sep != std::string_view::npos; sep = canonical.find('\\', sep + 1)) {
    ends.push_back(sep);
  }
  ends.push_back(canonical.size());
  return ends;
}

size_t LevelsPresent(const Hive::KeyMap& keys, std::string_view canonical, const std::vector<size_t>& ends,
                     size_t absent) {
  const auto present = [&](size_t level) { return keys.find(canonical.substr(0, ends[level])) != keys.end(); };
  if (absent <= 1) return 0;
  if (present(absent - 1)) return absent - 1;  // a new key in a known one: the common case
  size_t low = 0;                              // present (the root's level counts as such)
  size_t high = absent - 1;                    // absent
  while (low + 1 < high) {
    const size_t middle = low + (high - low) / 2;
    (present(middle) ? low : high) = middle;
  }
  return low;
}

bool KeepsKeyLimits(std::string_view canonical, const std::vector<size_t>& ends) {
  if (ends.size() - 1 > kMaxKeyDepth) return false;
  for (size_t level = 1; level < ends.size(); ++level) {
    const std::string_view name = canonical.substr(ends[level - 1] + 1, ends[level] - ends[level - 1] - 1);
    // Never fewer bytes than UTF-16 units: only a long name needs counting.
    if (name.size() > kMaxKeyNameLength && Utf16Length(name) > kMaxKeyNameLength) return false;
  }
  return true;
}

bool WithinKeyLimits(std::string_view path) {
  const auto canonical = CanonicalKeyPath(path);
  return canonical && KeepsKeyLimits(*canonical, LevelEnds(*canonical));
}

Key* Hive::CreateKey(std::string_view path) {
  const auto canonical = CanonicalKeyPath(path);
  if (!canonical) return nullptr;
  if (const auto it = keys_.find(*canonical); it != keys_.end()) return &it->second;
  // A key that a reader would skip, or read back as another, is never made:
  // it would be written and then lost.
  const std::vector<size_t> ends = LevelEnds(*canonical);
  if (!KeepsKeyLimits(*canonical, ends) || !IsStorableName(*canonical)) return nullptr;
  // The missing ancestors below the root first, then the key itself (the
  // root alone is a key of its own).
  const size_t depth = ends.size() - 1;
  Key* key = nullptr;
  for (size_t level = depth == 0 ? 0 : LevelsPresent(keys_, *canonical, ends, depth) + 1; level <= depth; ++level) {
    std::string prefix = canonical->substr(0, ends[level]);
    key = &keys_.emplace(prefix, Key{prefix, {}}).first->second;
  }
  return key;
}

void Hive::KeepSkippedSection(std::string_view section_line, std::string_view text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  if (data.empty() || data.back() != '\n') data.push_back('\n');
  skipped_.push_back(Value{std::string(section_line), REG_NONE, std::move(data)});
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

// ---- What a written hive brings to a reader ----

HiveSize SizeOf(const Hive& hive) {
  HiveSize size;
  size.keys = hive.Keys().size();
  for (const auto& entry : hive.Keys()) {
    size.values += entry.second.values.size();
    size.path_bytes += entry.first.size();
  }
  return size;
}

std::string CapsPassed(const Hive& hive) {
  const HiveSize size = SizeOf(hive);
  const auto over = [](size_t count, size_t cap, const char* what) {
    return std::to_string(count) + " " + what + ", more than the " + std::to_string(cap) + " a reader takes";
  };
  if (size.keys > kMaxKeysPerText) return over(size.keys, kMaxKeysPerText, "keys");
  if (size.values > kMaxValuesPerText) return over(size.values, kMaxValuesPerText, "values");
  if (size.path_bytes > kMaxKeyPathBytesPerText) {
    return over(size.path_bytes, kMaxKeyPathBytesPerText, "bytes of key paths");
  }
  return {};
}

}  // namespace qbhive
