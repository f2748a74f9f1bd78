# Cross-building QBSocks32.dll for 32-bit Windows in Microsoft's C++ ABI
# (decorated names, __thiscall, one vftable slot per virtual destructor),
# the ABI of the Visual C++ hosts it is made for: Debian's clang-cl and lld-link
# targeting i686-pc-windows-msvc, with MinGW-w64's headers and no Microsoft
# SDK. Programs built here run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QBSOCKS_MSVC_TRIPLE i686-pc-windows-msvc)
set(QBSOCKS_MINGW_SYSROOT /usr/i686-w64-mingw32)
set(QBSOCKS_MSVC_ARCH_FLAGS -D_X86_)
set(QBSOCKS_DLLTOOL_MACHINE i386)
set(QBSOCKS_MSVC_DEF_SUFFIX "")  # the .def files of this architecture: qbafx.def, ...
# Programs link MinGW-w64's import libraries, which carry no SafeSEH table
# (SafeSEH is x86's alone); the DLLs link import libraries that do
# (platform/msvc/imports-x86) and register their safe exception handlers.
set(QBSOCKS_MSVC_ARCH_LINK_FLAGS /safeseh:no)
set(QBSOCKS_MSVC_HARDENED_LINK_FLAGS /safeseh)
set(QBSOCKS_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/clang-cl-msvc-common.cmake)
