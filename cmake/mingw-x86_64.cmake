# The same sources cross-built for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix), run under 64-bit Wine (Debian's wine64).
# This build exists for testing: where the kernel runs no 32-bit programs,
# 32-bit Wine cannot start, but 64-bit Wine can. QBSocks32.dll itself is
# the i686 build (mingw-i686.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QBSOCKS_MINGW_TRIPLE x86_64-w64-mingw32)
# ASLR over the whole 64-bit address space.
set(QBSOCKS_MINGW_ARCH_LINK_FLAGS "-Wl,--high-entropy-va")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian's wine64 package puts its loader outside PATH; /usr/bin/wine would
# pick the 32-bit loader whenever wine32 is installed, even where it cannot
# run. WINELOADER makes the processes Wine itself starts use it too.
find_program(QBSOCKS_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(QBSOCKS_WINE64 NAMES wine64)
if(NOT QBSOCKS_WINE64)
  set(QBSOCKS_WINE64 /usr/lib/wine/wine64)  # not installed yet: ctest says so when it runs
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
  env WINEPREFIX=${QBSOCKS_WINEPREFIX} WINEARCH=win64 WINELOADER=${QBSOCKS_WINE64}
      WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ${QBSOCKS_WINE64})
