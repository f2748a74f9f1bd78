# Cross-building QBSocks32.dll for 64-bit Windows in Microsoft's x64 C++ ABI
# (decorated names with E for 64-bit pointers, one calling convention), for
# 64-bit MFC hosts: Debian's clang-cl and lld-link targeting
# x86_64-pc-windows-msvc, with MinGW-w64's headers and no Microsoft SDK.
# Programs built here run under 64-bit Wine, which starts on every machine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QBSOCKS_MSVC_TRIPLE x86_64-pc-windows-msvc)
set(QBSOCKS_MINGW_SYSROOT /usr/x86_64-w64-mingw32)
set(QBSOCKS_MSVC_ARCH_FLAGS -D_AMD64_)
set(QBSOCKS_DLLTOOL_MACHINE i386:x86-64)
set(QBSOCKS_MSVC_DEF_SUFFIX -x64)  # the .def files of this architecture: qbafx-x64.def, ...
set(QBSOCKS_MSVC_ARCH_LINK_FLAGS "")
# The DLLs are marked compatible with CET's shadow stack.
set(QBSOCKS_MSVC_HARDENED_LINK_FLAGS /cetcompat)
# Debian's wine64 puts its loader outside PATH, and /usr/bin/wine is the
# 32-bit one wherever wine32 is installed (see mingw-x86_64.cmake).
find_program(QBSOCKS_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(QBSOCKS_WINE64 NAMES wine64)
if(NOT QBSOCKS_WINE64)
  set(QBSOCKS_WINE64 /usr/lib/wine/wine64)  # not installed yet: ctest says so when it runs
endif()
set(QBSOCKS_WINE WINEARCH=win64 WINELOADER=${QBSOCKS_WINE64} ${QBSOCKS_WINE64})
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-msvc-common.cmake)
