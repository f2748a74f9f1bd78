# What both MinGW-w64 toolchains share; the including file sets
# CMAKE_SYSTEM_PROCESSOR, QBSOCKS_MINGW_TRIPLE,
# QBSOCKS_MINGW_ARCH_LINK_FLAGS and QBSOCKS_WINE first.
set(QBSOCKS_MINGW_SYSROOT /usr/${QBSOCKS_MINGW_TRIPLE})
include(${CMAKE_CURRENT_LIST_DIR}/windows-cross-common.cmake)

set(CMAKE_C_COMPILER ${QBSOCKS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QBSOCKS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QBSOCKS_MINGW_TRIPLE}-windres)

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
