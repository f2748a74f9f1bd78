# What both MinGW-w64 toolchains share; the including file sets
# CMAKE_SYSTEM_PROCESSOR, QBSOCKS_MINGW_TRIPLE and
# QBSOCKS_MINGW_ARCH_LINK_FLAGS first, and its emulator after. Programs
# built here run under Wine in a prefix of their own inside the build
# folder.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QBSOCKS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QBSOCKS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QBSOCKS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QBSOCKS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages from that tree alone, unless the command line says BOTH (a host
# that finds the Windows kit outside it, with CMAKE_PREFIX_PATH).
if(NOT DEFINED CMAKE_FIND_ROOT_PATH_MODE_PACKAGE)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# Hardened release binaries: a stack protector on every function with a
# local array (its support, libssp, is linked in by the project's -static:
# no libssp-0.dll), checked string and memory calls (needs optimisation,
# which the presets' RelWithDebInfo gives), and images that Windows may
# load at a random address with non-executable data. ld says the last two
# by default; they are said here so that no default can take them away.
set(CMAKE_C_FLAGS_INIT "-fstack-protector-strong -D_FORTIFY_SOURCE=2")
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong -D_FORTIFY_SOURCE=2")
set(QBSOCKS_MINGW_LINK_FLAGS
  "-fstack-protector-strong -Wl,--dynamicbase,--nxcompat ${QBSOCKS_MINGW_ARCH_LINK_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${QBSOCKS_MINGW_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${QBSOCKS_MINGW_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${QBSOCKS_MINGW_LINK_FLAGS}")

set(QBSOCKS_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
