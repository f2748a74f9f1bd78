# Cross-building QBSocks32.dll for 64-bit Windows in Microsoft's x64 C++ ABI
# (decorated names with E for 64-bit pointers, one calling convention), for
# 64-bit Visual C++ hosts: Debian's clang-cl and lld-link targeting
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
include(${CMAKE_CURRENT_LIST_DIR}/wine64.cmake)
set(QBSOCKS_WINE ${QBSOCKS_WINE64_ENV} ${QBSOCKS_WINE64})
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-msvc-common.cmake)
