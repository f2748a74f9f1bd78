// The settings hive of the program's own (settings_hive.h).
#include "support/settings_hive.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "support/test_platform.h"

namespace qbtest {

#ifdef _WIN32
std::optional<std::vector<SettingsHive::SavedValue>> SettingsHive::SaveValues(const char* key) {
  HKEY handle = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, key, &handle) != ERROR_SUCCESS) return std::nullopt;
  std::vector<SavedValue> values;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameLength = sizeof(name);
    DWORD type = 0;
    BYTE data[4096];
    DWORD dataLength = sizeof(data);
    if (RegEnumValueA(handle, index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) {
      break;
    }
    values.push_back({std::string(name, nameLength), type, std::vector<BYTE>(data, data + dataLength)});
  }
  RegCloseKey(handle);
  return values;
}

SettingsHive::SettingsHive() {
  saved_ = SaveValues(kProxyKey);
  RegDeleteKeyA(HKEY_CURRENT_USER, kProxyKey);
}

SettingsHive::~SettingsHive() {
  RegDeleteKeyA(HKEY_CURRENT_USER, kProxyKey);
  if (!saved_) return;
  HKEY handle = nullptr;
  if (RegCreateKeyA(HKEY_CURRENT_USER, kProxyKey, &handle) != ERROR_SUCCESS) return;
  for (const SavedValue& value : *saved_) {
    RegSetValueExA(handle, value.name.c_str(), 0, value.type, value.bytes.data(),
                   static_cast<DWORD>(value.bytes.size()));
  }
  RegCloseKey(handle);
}
#else
SettingsHive::SettingsHive() {
  dir_ = NewTempFolder("qbsocks-hive");
  if (dir_.empty()) throw std::runtime_error("cannot create a temporary folder for the settings");
  if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = std::string(old);
  SetEnvironment("XDG_CONFIG_HOME", dir_);
}

SettingsHive::~SettingsHive() {
  if (saved_) {
    SetEnvironment("XDG_CONFIG_HOME", *saved_);
  } else {
    UnsetEnvironment("XDG_CONFIG_HOME");
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}
#endif

LONG SettingsHive::Checked(LONG rc, const std::string& what) {
  if (rc != ERROR_SUCCESS) OnFailure(what, rc);
  return rc;
}

LONG SettingsHive::SetRaw(const std::string& key, const std::string& name, DWORD type,
                          const std::vector<BYTE>& bytes) {
  HKEY handle = nullptr;
  LONG rc = RegCreateKeyA(HKEY_CURRENT_USER, key.c_str(), &handle);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExA(handle, name.c_str(), 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(handle);
  }
  return Checked(rc, "setting " + key + "\\" + name);
}

LONG SettingsHive::SetString(const std::string& key, const std::string& name, std::string_view text) {
  std::vector<BYTE> bytes(text.size() + 1, 0);  // zero-filled: the terminator is there
  std::copy(text.begin(), text.end(), bytes.begin());
  return SetRaw(key, name, REG_SZ, bytes);
}

LONG SettingsHive::SetDword(const std::string& key, const std::string& name, DWORD value) {
  const std::vector<BYTE> bytes{static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                                static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  return SetRaw(key, name, REG_DWORD, bytes);
}

LONG SettingsHive::DeleteValue(const std::string& key, const std::string& name) {
  HKEY handle = nullptr;
  LONG rc = RegOpenKeyA(HKEY_CURRENT_USER, key.c_str(), &handle);
  if (rc == ERROR_SUCCESS) {
    rc = RegDeleteValueA(handle, name.c_str());
    RegCloseKey(handle);
  }
  return Checked(rc, "deleting " + key + "\\" + name);
}

LONG SettingsHive::DeleteKey(const std::string& key) {
  return Checked(RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str()), "deleting " + key);
}

}  // namespace qbtest
