// The version strings QBSocks32.dll carries, as every test that reads its
// version resource expects them. Plain data, so that the host programs
// built without the C++ standard library can use it too.
#ifndef QBSOCKS_TESTS_SUPPORT_VERSION_STRINGS_H
#define QBSOCKS_TESTS_SUPPORT_VERSION_STRINGS_H

struct VersionString {
  const char* lpszKey;
  const char* lpszValue;
};

inline const VersionString kVersionStrings[] = {
    {"FileDescription", "QBSocks32 DLL"},
    {"FileVersion", "1, 0, 0, 1"},
    {"InternalName", "QBSocks32"},
    {"OriginalFilename", "QBSocks32.DLL"},
    {"ProductName", "QBSocks32 Dynamic Link Library"},
    {"ProductVersion", "1, 0, 0, 1"},
};

#endif  // QBSOCKS_TESTS_SUPPORT_VERSION_STRINGS_H
