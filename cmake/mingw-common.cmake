# What both MinGW-w64 toolchains share; the including file sets
# CMAKE_SYSTEM_PROCESSOR and QBSOCKS_MINGW_TRIPLE first, and its emulator
# after. Programs built here run under Wine in a prefix of their own inside
# the build folder.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QBSOCKS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QBSOCKS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QBSOCKS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QBSOCKS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(QBSOCKS_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
