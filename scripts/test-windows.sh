#!/usr/bin/env bash
# Builds QBSocks32.dll for 32-bit Windows (MinGW-w64, i686), checks its
# export table, and runs the Windows tests under Wine, in a Wine prefix of
# their own inside the build folder:
#
# - with 32-bit Wine where it can start: the i686 build's own tests;
# - otherwise with 64-bit Wine: the same sources built for x86_64
#   (build/windows64), whose tests also read the i686 module's version
#   resource. 32-bit Wine needs a kernel that runs 32-bit Linux programs,
#   which some virtual machines (this project's CI machines among them)
#   do not have.
#
# First, the MSVC-ABI flavour (windows-msvc preset, clang-cl and lld-link):
# its export and import tables always, its host programs under 32-bit Wine
# where that can start (they are skipped, with a line that says so, where
# it cannot).
#
# Fails when neither Wine can run the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

wine32_loader=/usr/lib/wine/wine   # Debian's 32-bit loader (wine32:i386)
wine64_loader=/usr/lib/wine/wine64 # Debian's wine64

# Ends the prefix's wineserver, which lingers a few seconds after the tests.
stop_wineserver() {
  WINEPREFIX="$PWD/$1/wineprefix" WINELOADER="$2" wineserver -k >/dev/null 2>&1 || true
}

echo "== windows-msvc: QBSocks32.dll in the MSVC C++ ABI (clang-cl, lld-link): build, export and import tables"
msvc_started=$SECONDS
cmake --preset windows-msvc >/dev/null
cmake --build --preset windows-msvc -j 2
ctest --preset windows-msvc -LE wine
msvc_status=0
if "$wine32_loader" --version >/dev/null 2>&1; then
  echo "== windows-msvc: the MSVC-built host programs under 32-bit Wine"
  ctest --preset windows-msvc -L wine || msvc_status=$?
  stop_wineserver build/windows-msvc "$wine32_loader"
  echo "windows-msvc: RAN the host programs under 32-bit Wine ($("$wine32_loader" --version)) in $((SECONDS - msvc_started)) s"
else
  echo "windows-msvc: SKIPPED the host programs: 32-bit Wine cannot start here (the kernel runs no 32-bit programs);" \
    "the export and import tables were checked"
fi

echo "== windows: QBSocks32.dll (i686): configure, build, export table"
cmake --preset windows >/dev/null
if "$wine32_loader" --version >/dev/null 2>&1; then
  cmake --build --preset windows -j 2
  ctest --preset windows -LE wine
  echo "== windows: the i686 tests under 32-bit Wine"
  status=0
  ctest --preset windows -L wine || status=$?
  stop_wineserver build/windows "$wine32_loader"
  echo "windows: RAN the i686 build's tests under 32-bit Wine ($("$wine32_loader" --version))"
  exit $((status || msvc_status))
fi

# Only the module and qbsocks-cat.exe (for the kit): their tests cannot run here.
cmake --build --preset windows -j 2 --target QBSocks32 qbsocks-cat
ctest --preset windows -LE wine

if ! "$wine64_loader" --version >/dev/null 2>&1; then
  echo "windows: FAILED: neither 32-bit Wine ($wine32_loader) nor 64-bit Wine ($wine64_loader) can start here" >&2
  exit 1
fi

echo "== windows: 32-bit Wine cannot start here (the kernel runs no 32-bit programs);"
echo "== windows: the x86_64 build of the same sources under 64-bit Wine"
cmake --preset windows64 -DQBSOCKS_I686_DLL="$PWD/build/windows/bin/QBSocks32.dll" >/dev/null
cmake --build --preset windows64 -j 2
status=0
ctest --preset windows64 || status=$?
stop_wineserver build/windows64 "$wine64_loader"
echo "windows: RAN the x86_64 build's tests under 64-bit Wine ($("$wine64_loader" --version));" \
  "the i686 module: export table and version resource checked, its tests NOT run"
exit $((status || msvc_status))
