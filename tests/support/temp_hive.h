// A settings hive of the test's own. On Linux it points XDG_CONFIG_HOME at
// a fresh temporary folder for the fixture's lifetime, so no test ever
// reads or writes the real user's settings; on Windows see below.
//
//   qbtest::TempHive hive;
//   hive.SetString(qbtest::TempHive::kProxyKey, "SocksServer", "127.0.0.1");
//   hive.SetDword(qbtest::TempHive::kProxyKey, "SocksPort", 1080);
//
// The setters go through RegCreateKeyA/RegSetValueExA (key paths are below
// HKEY_CURRENT_USER; an empty value name is the default value) and report
// a failure to GoogleTest as well as returning it.
#ifndef QBSOCKS_TESTS_SUPPORT_TEMP_HIVE_H
#define QBSOCKS_TESTS_SUPPORT_TEMP_HIVE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Settings.h"
#include "support/test_platform.h"
#include "win32.h"

namespace qbtest {

// On Windows the settings live in the real registry, which one process
// cannot redirect: the hive saves the proxy key's values, starts the test
// with the key absent, and puts the saved values back afterwards. Tests
// that use it there must not run in parallel with each other (ctest runs
// each Windows test program on its own).
class TempHive {
 public:
  static constexpr const char* kProxyKey = qbsettings::kProxyKey;

#ifdef _WIN32
  TempHive() {
    saved_ = SaveValues(kProxyKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, kProxyKey);
  }

  ~TempHive() {
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
  TempHive() {
    dir_ = NewTempFolder("qbsocks-hive");
    // Going on would leave the test with the settings it was started with:
    // the exception ends the test at once.
    if (dir_.empty()) throw std::runtime_error("TempHive: cannot create a temporary folder");
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = std::string(old);
    SetEnvironment("XDG_CONFIG_HOME", dir_);
  }

  ~TempHive() {
    if (saved_) {
      SetEnvironment("XDG_CONFIG_HOME", *saved_);
    } else {
      UnsetEnvironment("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
#endif

  TempHive(const TempHive&) = delete;
  TempHive& operator=(const TempHive&) = delete;

  LONG SetRaw(const std::string& key, const std::string& name, DWORD type, const std::vector<BYTE>& bytes) {
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyA(HKEY_CURRENT_USER, key.c_str(), &handle);
    if (rc == ERROR_SUCCESS) {
      rc = RegSetValueExA(handle, name.c_str(), 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
      RegCloseKey(handle);
    }
    if (rc != ERROR_SUCCESS) ADD_FAILURE() << "setting " << key << "\\" << name << " failed: " << rc;
    return rc;
  }

  // A REG_SZ with its terminator, as regedit stores "text".
  LONG SetString(const std::string& key, const std::string& name, std::string_view text) {
    std::vector<BYTE> bytes(text.size() + 1, 0);  // zero-filled: the terminator is there
    std::copy(text.begin(), text.end(), bytes.begin());
    return SetRaw(key, name, REG_SZ, bytes);
  }

  LONG SetDword(const std::string& key, const std::string& name, DWORD value) {
    const std::vector<BYTE> bytes{static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                                  static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    return SetRaw(key, name, REG_DWORD, bytes);
  }

  LONG DeleteValue(const std::string& key, const std::string& name) {
    HKEY handle = nullptr;
    LONG rc = RegOpenKeyA(HKEY_CURRENT_USER, key.c_str(), &handle);
    if (rc == ERROR_SUCCESS) {
      rc = RegDeleteValueA(handle, name.c_str());
      RegCloseKey(handle);
    }
    if (rc != ERROR_SUCCESS) ADD_FAILURE() << "deleting " << key << "\\" << name << " failed: " << rc;
    return rc;
  }

  // Removes the key with all its values, as if it had never been written.
  LONG DeleteKey(const std::string& key) {
    LONG rc = RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    if (rc != ERROR_SUCCESS) ADD_FAILURE() << "deleting " << key << " failed: " << rc;
    return rc;
  }

#ifndef _WIN32
  // The folder XDG_CONFIG_HOME points at, and the hive file inside it.
  const std::string& ConfigHome() const { return dir_; }
  std::string Folder() const { return dir_ + "/qbsocks"; }
  std::string Path() const { return Folder() + "/user.reg"; }

  // Writes the hive file as it is given (any bytes: .reg text, garbage),
  // creating the folder when needed.
  void WriteFile(std::string_view bytes) const {
    std::error_code ignored;
    std::filesystem::create_directories(Folder(), ignored);
    const int fd = ::open(Path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    while (ok && !bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      ok = n > 0;
      if (ok) bytes.remove_prefix(static_cast<size_t>(n));
    }
    if (fd >= 0) ::close(fd);
    if (!ok) ADD_FAILURE() << "cannot write " << Path();
  }

  // The hive file's bytes; empty when there is none.
  std::string ReadFile() const {
    std::ifstream in(Path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

#endif

 private:
#ifdef _WIN32
  struct SavedValue {
    std::string name;
    DWORD type;
    std::vector<BYTE> bytes;
  };

  // The key's values, or nothing when the key does not exist.
  static std::optional<std::vector<SavedValue>> SaveValues(const char* key) {
    HKEY handle = nullptr;
    if (RegOpenKeyA(HKEY_CURRENT_USER, key, &handle) != ERROR_SUCCESS) return std::nullopt;
    std::vector<SavedValue> values;
    for (DWORD index = 0;; ++index) {
      char name[256];
      DWORD nameLength = sizeof(name);
      DWORD type = 0;
      BYTE data[4096];
      DWORD dataLength = sizeof(data);
      if (RegEnumValueA(handle, index, name, &nameLength, nullptr, &type, data, &dataLength) !=
          ERROR_SUCCESS) {
        break;
      }
      values.push_back({std::string(name, nameLength), type,
                        std::vector<BYTE>(data, data + dataLength)});
    }
    RegCloseKey(handle);
    return values;
  }

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

inline void WriteSettings(TempHive& hive, const ProxySettings& s) {
  if (s.enable) hive.SetDword(TempHive::kProxyKey, "ProxyEnable", *s.enable);
  if (s.server) hive.SetString(TempHive::kProxyKey, "SocksServer", *s.server);
  if (s.port) hive.SetDword(TempHive::kProxyKey, "SocksPort", *s.port);
  if (s.version) hive.SetDword(TempHive::kProxyKey, "SocksVersion", *s.version);
  if (s.user) hive.SetString(TempHive::kProxyKey, "UserName", *s.user);
  if (s.password) hive.SetString(TempHive::kProxyKey, "Password", *s.password);
}

// Settings that send Connect through the proxy at 127.0.0.1:port.
inline ProxySettings ProxyAt(uint16_t port, DWORD version, std::string user = "",
                             std::string password = "") {
  return ProxySettings{1, "127.0.0.1", port, version, std::move(user), std::move(password)};
}

// Each way the settings turn the proxy off, written around a server at
// 127.0.0.1:port that Connect must then leave alone.
struct NamedSettings {
  const char* name;
  std::optional<ProxySettings> (*settings)(uint16_t port);  // nothing: no key at all
};

inline void PrintTo(const NamedSettings& settings, std::ostream* out) { *out << settings.name; }

inline const NamedSettings kProxyOffSettings[] = {
    {"NoKey", [](uint16_t) -> std::optional<ProxySettings> { return std::nullopt; }},
    {"ProxyEnable0",
     [](uint16_t port) -> std::optional<ProxySettings> { return ProxySettings{0, "127.0.0.1", port, 5, "", ""}; }},
    {"ProxyEnableMissing",
     [](uint16_t port) -> std::optional<ProxySettings> {
       return ProxySettings{std::nullopt, "127.0.0.1", port, 5, "", ""};
     }},
    {"EmptyServer",
     [](uint16_t port) -> std::optional<ProxySettings> { return ProxySettings{1, "", port, 5, "", ""}; }},
    {"Port0", [](uint16_t) -> std::optional<ProxySettings> { return ProxySettings{1, "127.0.0.1", 0, 5, "", ""}; }},
    {"Version3",
     [](uint16_t port) -> std::optional<ProxySettings> { return ProxySettings{1, "127.0.0.1", port, 3, "", ""}; }},
};

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_TEMP_HIVE_H
