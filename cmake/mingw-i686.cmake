# Cross-building QBSocks32.dll for 32-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-i686-posix, mingw-w64-tools). ctest and the build run its
# programs under Wine (windows-cross-common.cmake), with Wine's chatter off.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QBSOCKS_MINGW_TRIPLE i686-w64-mingw32)
# No code here registers a structured exception handler (GCC's exceptions
# are DWARF-2 on i686): the image says so, which is what SafeSEH asks of it.
set(QBSOCKS_MINGW_ARCH_LINK_FLAGS "-Wl,--no-seh")
set(QBSOCKS_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
