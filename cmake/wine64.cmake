# QBSOCKS_WINE64: the 64-bit Wine loader, for the x64 toolchains. Debian's
# wine64 package puts it outside PATH; /usr/bin/wine would pick the 32-bit
# loader whenever wine32 is installed, even where it cannot run.
# WINELOADER makes the processes Wine itself starts use it too.
find_program(QBSOCKS_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(QBSOCKS_WINE64 NAMES wine64)
if(NOT QBSOCKS_WINE64)
  set(QBSOCKS_WINE64 /usr/lib/wine/wine64)  # not installed yet: ctest says so when it runs
endif()
set(QBSOCKS_WINE64_ENV WINEARCH=win64 WINELOADER=${QBSOCKS_WINE64})
