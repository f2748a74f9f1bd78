// The module's version information. On Windows the version resource carries
// it; here the same strings (version_info.h) sit in a section of their own,
// where `readelf -p .qbsocks.version` and `strings` find them.
#include "version_info.h"

namespace {

__attribute__((used, section(".qbsocks.version"))) const char kVersionInfo[] =
    "FixedFileVersion=" QBSOCKS32_VERSION_DOTTED
    "\0"
    "FixedProductVersion=" QBSOCKS32_VERSION_DOTTED
    "\0"
    "FileDescription=" QBSOCKS32_FILE_DESCRIPTION
    "\0"
    "FileVersion=" QBSOCKS32_VERSION_TEXT
    "\0"
    "InternalName=" QBSOCKS32_INTERNAL_NAME
    "\0"
    "OriginalFilename=" QBSOCKS32_ORIGINAL_FILENAME
    "\0"
    "ProductName=" QBSOCKS32_PRODUCT_NAME
    "\0"
    "ProductVersion=" QBSOCKS32_VERSION_TEXT
    "\0"
    "Description=" QBSOCKS32_DESCRIPTION;

}  // namespace
