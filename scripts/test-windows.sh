#!/usr/bin/env bash
# Builds the Windows modules and runs their tests under Wine, each build in
# a Wine prefix of its own inside its build folder, and says at the end what
# ran and what was skipped:
#
# - the MSVC-ABI flavour (clang-cl, lld-link), i686 (windows-msvc) and x64
#   (windows-msvc-x64): export and import tables always; the host programs
#   under 64-bit Wine always, under 32-bit Wine where it can start (the
#   host of the C interface runs against this flavour's own qbsocks.dll);
# - the MinGW-w64 flavour: the i686 build (windows) with its tests under
#   32-bit Wine where it can start (elsewhere its export table only), and
#   the x86_64 build (windows64) with its tests under 64-bit Wine, which
#   also read the i686 module's version resource.
#
# 32-bit Wine needs a kernel that runs 32-bit Linux programs, which some
# machines do not; QBSOCKS_NO_WINE32=1 makes this script behave as there.
# Fails when 64-bit Wine cannot start.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/wine.sh
source scripts/summary.sh

if ! wine64_runs; then
  echo "windows: FAILED: 64-bit Wine ($wine64_loader) cannot start here" >&2
  exit 1
fi

status=0
summary=()
ran() {  # LINE: said at the end, and in scripts/test.sh's summary
  summary+=("$*")
  summary_add "$*"
}

run_msvc() {  # PRESET BITS LOADER
  local preset=$1 bits=$2 loader=$3 started=$SECONDS
  echo "== $preset: QBSocks32.dll in the MSVC C++ ABI, $bits-bit (clang-cl, lld-link): build, export and import tables"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
  summary_ctest "$preset (export and import tables)" --preset "$preset" -LE wine
  if [[ $bits == 64 ]] || wine32_runs; then
    echo "== $preset: the MSVC-built host programs under $bits-bit Wine"
    summary_ctest "$preset (host programs under $bits-bit Wine)" --preset "$preset" -L wine || status=1
    stop_wineserver "build/$preset" "$loader"
    ran "$preset: RAN the tables and the host programs under $bits-bit Wine ($("$loader" --version)) in $((SECONDS - started)) s"
  else
    ran "$preset: SKIPPED the host programs: $(wine32_absence); the export and import tables were checked"
  fi
}
echo "== windows: QBSocks32.dll (MinGW-w64, i686): configure, build, export table"
cmake --preset windows >/dev/null
if wine32_runs; then
  cmake --build --preset windows -j 2
  summary_ctest "windows (export table)" --preset windows -LE wine
  echo "== windows: the i686 tests under 32-bit Wine"
  summary_ctest "windows (under 32-bit Wine)" --preset windows -L wine || status=1
  stop_wineserver build/windows "$wine32_loader"
  ran "windows: RAN the i686 build's tests under 32-bit Wine ($("$wine32_loader" --version))"
else
  # Only the module and qbsocks-cat.exe (for the kit): their tests cannot run here.
  cmake --build --preset windows -j 2 --target QBSocks32 qbsocks-cat qbsocks_msvc_implib
  summary_ctest "windows (export table)" --preset windows -LE wine
  ran "windows: SKIPPED the i686 build's tests: $(wine32_absence); its export table was checked, its version resource is read by the x86_64 tests"
fi

echo "== windows64: the same sources for x86_64 (the kit's mingw-x64 folder), tests under 64-bit Wine"
cmake --preset windows64 -DQBSOCKS_I686_DLL="$PWD/build/windows/bin/QBSocks32.dll" >/dev/null
cmake --build --preset windows64 -j 2
summary_ctest "windows64 (under 64-bit Wine)" --preset windows64 || status=1
stop_wineserver build/windows64 "$wine64_loader"
ran "windows64: RAN the x86_64 build's tests under 64-bit Wine ($("$wine64_loader" --version))"

# The MSVC-ABI builds: the kit's msvc, msvc-x64, c and c-x64 folders.
run_msvc windows-msvc 32 "$wine32_loader"
run_msvc windows-msvc-x64 64 "$wine64_loader"

echo "== Windows: what ran"
printf '  %s\n' "${summary[@]}"
exit $status
