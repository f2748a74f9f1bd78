// A settings hive of the test's own (SettingsHive, settings_hive.h) that
// reports a failed write to GoogleTest as well as returning it.
//
//   qbtest::TempHive hive;
//   hive.SetString(qbtest::TempHive::kProxyKey, "SocksServer", "127.0.0.1");
//   hive.SetDword(qbtest::TempHive::kProxyKey, "SocksPort", 1080);
#ifndef QBSOCKS_TESTS_SUPPORT_TEMP_HIVE_H
#define QBSOCKS_TESTS_SUPPORT_TEMP_HIVE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "support/settings_hive.h"
#include "support/test_platform.h"
#include "win32.h"

namespace qbtest {

class TempHive : public SettingsHive {
 public:
#ifndef _WIN32
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

 protected:
  void OnFailure(const std::string& what, LONG rc) override { ADD_FAILURE() << what << " failed: " << rc; }
};

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
