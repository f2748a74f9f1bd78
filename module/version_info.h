// QBSocks32.dll's version information: the numbers and texts of its version
// resource, which hosts built for 1.0.0.1 check (docs/maintaining.md, "Two
// version numbers"). Said here alone: QBSocks32.rc, version_info.cpp (the
// Linux module's copy) and the tests take them from here. Only #defines of
// numbers and whole string literals, which every resource compiler reads.
#ifndef QBSOCKS_MODULE_VERSION_INFO_H
#define QBSOCKS_MODULE_VERSION_INFO_H

// The fixed file and product version, 1.0.0.1.
#define QBSOCKS32_VERSION_MAJOR 1
#define QBSOCKS32_VERSION_MINOR 0
#define QBSOCKS32_VERSION_PATCH 0
#define QBSOCKS32_VERSION_BUILD 1
// The same number as dotted text, and as the resource's strings write it.
#define QBSOCKS32_VERSION_DOTTED "1.0.0.1"
#define QBSOCKS32_VERSION_TEXT "1, 0, 0, 1"

#define QBSOCKS32_FILE_DESCRIPTION "QBSocks32 DLL"
#define QBSOCKS32_INTERNAL_NAME "QBSocks32"
#define QBSOCKS32_ORIGINAL_FILENAME "QBSocks32.DLL"
#define QBSOCKS32_PRODUCT_NAME "QBSocks32 Dynamic Link Library"
// The module's description (string 1 of its string table).
#define QBSOCKS32_DESCRIPTION "QBSocks32 Windows Dynamic Link Library"

#endif  // QBSOCKS_MODULE_VERSION_INFO_H
