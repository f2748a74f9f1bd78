// The hive in memory: keys and their values, names compared without regard
// to case, key paths canonicalised to their full root.
#include "posix/hive_text.h"

#include <algorithm>
#include <array>
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

}  // namespace qbhive
