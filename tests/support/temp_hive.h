// A settings hive of the test's own: points XDG_CONFIG_HOME at a fresh
// temporary folder for the fixture's lifetime, so no test ever reads or
// writes the real user's settings.
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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32.h"

namespace qbtest {

class TempHive {
 public:
  static constexpr const char* kProxyKey = "Software\\Quillbrook\\Game\\Share\\Proxy";

  TempHive() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/qbsocks-hive-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "cannot create a temporary folder";
      return;
    }
    dir_ = pattern;
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = std::string(old);
    ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  }

  ~TempHive() {
    if (saved_) {
      ::setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  TempHive(const TempHive&) = delete;
  TempHive& operator=(const TempHive&) = delete;

  // The folder XDG_CONFIG_HOME points at, and the hive file inside it.
  const std::string& ConfigHome() const { return dir_; }
  std::string Folder() const { return dir_ + "/qbsocks"; }
  std::string Path() const { return Folder() + "/user.reg"; }

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

  // Writes the hive file as it is given (any bytes: .reg text, garbage),
  // creating the folder when needed.
  void WriteFile(std::string_view bytes) const {
    ::mkdir(Folder().c_str(), 0700);
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

 private:
  std::string dir_;
  std::optional<std::string> saved_;
};

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_TEMP_HIVE_H
