# Cross-building QBSocks32.dll for 32-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-i686-posix, mingw-w64-tools). Programs built here run
# under Wine, which ctest and the build use through the emulator below:
# a prefix of its own inside the build folder, and Wine's chatter off.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(QBSOCKS_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QBSOCKS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QBSOCKS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QBSOCKS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QBSOCKS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(QBSOCKS_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
  env WINEPREFIX=${QBSOCKS_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine)
