// The version strings QBSocks32.dll carries, as every test that reads its
// version resource expects them: the module's own (module/version_info.h).
// Plain data, so that the host programs built without the C++ standard
// library can use it too.
#ifndef QBSOCKS_TESTS_SUPPORT_VERSION_STRINGS_H
#define QBSOCKS_TESTS_SUPPORT_VERSION_STRINGS_H

// From the tree's root, which the kit's host programs
// (tests/packaging/kit_host) do not search: they build with the kit's
// headers alone and a copy of this one file.
#include "module/version_info.h"

struct VersionString {
  const char* lpszKey;
  const char* lpszValue;
};

inline const VersionString kVersionStrings[] = {
    {"FileDescription", QBSOCKS32_FILE_DESCRIPTION}, {"FileVersion", QBSOCKS32_VERSION_TEXT},
    {"InternalName", QBSOCKS32_INTERNAL_NAME},       {"OriginalFilename", QBSOCKS32_ORIGINAL_FILENAME},
    {"ProductName", QBSOCKS32_PRODUCT_NAME},         {"ProductVersion", QBSOCKS32_VERSION_TEXT},
};

// The fixed version's two halves, as VS_FIXEDFILEINFO holds them.
constexpr unsigned long kVersionMostSignificant = (QBSOCKS32_VERSION_MAJOR << 16) | QBSOCKS32_VERSION_MINOR;
constexpr unsigned long kVersionLeastSignificant = (QBSOCKS32_VERSION_PATCH << 16) | QBSOCKS32_VERSION_BUILD;

#endif  // QBSOCKS_TESTS_SUPPORT_VERSION_STRINGS_H
