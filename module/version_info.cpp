// The module's version information. On Windows the version resource carries
// it; here the same strings sit in a section of their own, where
// `readelf -p .qbsocks.version` and `strings` find them.
namespace {

__attribute__((used, section(".qbsocks.version"))) const char kVersionInfo[] =
    "FixedFileVersion=1.0.0.1\0"
    "FixedProductVersion=1.0.0.1\0"
    "FileDescription=QBSocks32 DLL\0"
    "FileVersion=1, 0, 0, 1\0"
    "InternalName=QBSocks32\0"
    "OriginalFilename=QBSocks32.DLL\0"
    "ProductName=QBSocks32 Dynamic Link Library\0"
    "ProductVersion=1, 0, 0, 1\0"
    "Description=QBSocks32 Windows Dynamic Link Library";

}  // namespace
