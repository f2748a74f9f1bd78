// A settings hive of the program's own, and the writer of its values, for
// the tests (TempHive, temp_hive.h, reports to GoogleTest) and the
// benchmark. On Linux it points XDG_CONFIG_HOME at a fresh temporary folder
// while it lives, so that nothing reads or writes the real user's settings;
// on Windows see below.
//
// The setters go through RegCreateKeyA/RegSetValueExA (key paths are below
// HKEY_CURRENT_USER; an empty value name is the default value), return the
// registry's result and call OnFailure when it is not ERROR_SUCCESS.
#ifndef QBSOCKS_TESTS_SUPPORT_SETTINGS_HIVE_H
#define QBSOCKS_TESTS_SUPPORT_SETTINGS_HIVE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/proxy_settings.h"
#include "win32.h"

namespace qbtest {

// On Windows the settings live in the real registry, which one process
// cannot redirect: the hive saves the proxy key's values, starts with the
// key absent, and puts the saved values back afterwards. Programs that use
// it there must not run in parallel with each other (ctest runs each
// Windows test program on its own).
class SettingsHive {
 public:
  static constexpr const char* kProxyKey = qbsettings::kProxyKey;

  // Throws std::runtime_error when there is no folder of its own to be had:
  // going on would leave the program with the settings it was started with.
  SettingsHive();
  virtual ~SettingsHive();

  SettingsHive(const SettingsHive&) = delete;
  SettingsHive& operator=(const SettingsHive&) = delete;

  LONG SetRaw(const std::string& key, const std::string& name, DWORD type, const std::vector<BYTE>& bytes);
  // A REG_SZ with its terminator, as regedit stores "text".
  LONG SetString(const std::string& key, const std::string& name, std::string_view text);
  LONG SetDword(const std::string& key, const std::string& name, DWORD value);
  LONG DeleteValue(const std::string& key, const std::string& name);
  // Removes the key with all its values, as if it had never been written.
  LONG DeleteKey(const std::string& key);

#ifndef _WIN32
  // The folder XDG_CONFIG_HOME points at, and the hive file inside it.
  const std::string& ConfigHome() const { return dir_; }
  std::string Folder() const { return dir_ + "/qbsocks"; }
  std::string Path() const { return Folder() + "/user.reg"; }
#endif

 protected:
  // What failed ("setting KEY\NAME") and the registry's result.
  virtual void OnFailure(const std::string& /*what*/, LONG /*rc*/) {}

 private:
  LONG Checked(LONG rc, const std::string& what);

#ifdef _WIN32
  struct SavedValue {
    std::string name;
    DWORD type;
    std::vector<BYTE> bytes;
  };
  // The key's values, or nothing when the key does not exist.
  static std::optional<std::vector<SavedValue>> SaveValues(const char* key);
  std::optional<std::vector<SavedValue>> saved_;
#else
  std::string dir_;
  std::optional<std::string> saved_;
#endif
};

// One value of each setting, or nothing for a value that is not stored.
struct ProxySettings {
  std::optional<DWORD> enable;
  std::optional<std::string> server;
  std::optional<DWORD> port;
  std::optional<DWORD> version;
  std::optional<std::string> user;
  std::optional<std::string> password;
};

inline void WriteSettings(SettingsHive& hive, const ProxySettings& s) {
  if (s.enable) hive.SetDword(SettingsHive::kProxyKey, "ProxyEnable", *s.enable);
  if (s.server) hive.SetString(SettingsHive::kProxyKey, "SocksServer", *s.server);
  if (s.port) hive.SetDword(SettingsHive::kProxyKey, "SocksPort", *s.port);
  if (s.version) hive.SetDword(SettingsHive::kProxyKey, "SocksVersion", *s.version);
  if (s.user) hive.SetString(SettingsHive::kProxyKey, "UserName", *s.user);
  if (s.password) hive.SetString(SettingsHive::kProxyKey, "Password", *s.password);
}

// Settings that send Connect through the proxy at 127.0.0.1:port.
inline ProxySettings ProxyAt(uint16_t port, DWORD version, std::string user = "", std::string password = "") {
  return ProxySettings{1, "127.0.0.1", port, version, std::move(user), std::move(password)};
}

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_SETTINGS_HIVE_H
