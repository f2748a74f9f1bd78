// QBSocks32.dll's version resource read back as Windows programs read it:
// GetFileVersionInfoA and VerQueryValueA, and the module's description
// from its string table. Resources are read as data, so a 64-bit test
// program also reads the 32-bit module's, named by QBSOCKS32_I686_DLL.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/version_strings.h"

namespace {

struct Module {
  std::string name;  // of the test case
  std::string path;
};

std::vector<Module> ModulesToRead() {
  std::vector<Module> modules{{"beside_the_program", "QBSocks32.dll"}};
  const char* i686 = std::getenv("QBSOCKS32_I686_DLL");
  if (i686 != nullptr && *i686 != '\0') modules.push_back({"i686_build", i686});
  return modules;
}

class VersionResource : public ::testing::TestWithParam<Module> {
 protected:
  const char* Path() const { return GetParam().path.c_str(); }

  std::vector<char> VersionInfo() const {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(Path(), &ignored);
    std::vector<char> block(size);
    if (size == 0 || !GetFileVersionInfoA(Path(), 0, size, block.data())) block.clear();
    return block;
  }
};

INSTANTIATE_TEST_SUITE_P(Modules, VersionResource, ::testing::ValuesIn(ModulesToRead()),
                         [](const ::testing::TestParamInfo<Module>& info) { return info.param.name; });

TEST_P(VersionResource, FixedVersionIsOnePointZeroPointZeroPointOne) {
  std::vector<char> block = VersionInfo();
  ASSERT_FALSE(block.empty()) << Path() << ": no version resource, error " << GetLastError();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, kVersionMostSignificant);
  EXPECT_EQ(fixed->dwFileVersionLS, kVersionLeastSignificant);
  EXPECT_EQ(fixed->dwProductVersionMS, kVersionMostSignificant);
  EXPECT_EQ(fixed->dwProductVersionLS, kVersionLeastSignificant);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_P(VersionResource, StringsOfTheTranslationItNames) {
  std::vector<char> block = VersionInfo();
  ASSERT_FALSE(block.empty());
  struct Translation {
    WORD language;
    WORD codePage;
  }* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(
      VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, sizeof(Translation));
  char prefix[64];
  snprintf(prefix, sizeof(prefix), "\\StringFileInfo\\%04x%04x\\", translation->language, translation->codePage);

  for (const VersionString& entry : kVersionStrings) {
    char* text = nullptr;
    UINT chars = 0;
    const std::string path = std::string(prefix) + entry.lpszKey;
    ASSERT_TRUE(VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &chars)) << path;
    EXPECT_STREQ(text, entry.lpszValue) << path;
  }
}

TEST_P(VersionResource, ModuleCarriesItsDescription) {
  HMODULE module = LoadLibraryExA(Path(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << Path() << ", error " << GetLastError();
  char text[128] = {};
  const int length = LoadStringA(module, 1, text, sizeof(text));
  FreeLibrary(module);
  EXPECT_EQ(std::string(text, length > 0 ? length : 0), QBSOCKS32_DESCRIPTION);
}

}  // namespace
