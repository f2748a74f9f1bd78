# The same sources cross-built for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix), run under 64-bit Wine (Debian's wine64).
# Its DLLs are the Windows kit's mingw-x64 folder, for 64-bit MinGW hosts;
# its tests run on every machine, since 64-bit Wine starts even where the
# kernel runs no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QBSOCKS_MINGW_TRIPLE x86_64-w64-mingw32)
# ASLR over the whole 64-bit address space.
set(QBSOCKS_MINGW_ARCH_LINK_FLAGS "-Wl,--high-entropy-va")
include(${CMAKE_CURRENT_LIST_DIR}/wine64.cmake)
set(QBSOCKS_WINE ${QBSOCKS_WINE64_ENV} ${QBSOCKS_WINE64})
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
