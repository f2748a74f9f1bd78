# What every Windows toolchain shares (mingw-common.cmake and
# clang-cl-msvc-common.cmake, whose including files set
# QBSOCKS_MINGW_SYSROOT and QBSOCKS_WINE first): libraries, headers and
# packages from the MinGW-w64 tree, and programs run under Wine in a
# prefix of their own inside the build folder.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_FIND_ROOT_PATH ${QBSOCKS_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages from that tree alone, unless the command line says BOTH (a host
# that finds the Windows kit outside it, with CMAKE_PREFIX_PATH).
if(NOT DEFINED CMAKE_FIND_ROOT_PATH_MODE_PACKAGE)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

set(QBSOCKS_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
  env WINEPREFIX=${QBSOCKS_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ${QBSOCKS_WINE})
