#!/usr/bin/env bash
# The Windows kit holds exactly its files; its headers are the library's;
# each flavour's DLLs are Windows DLLs of its architecture, so are those in
# the Python wheels, which pip takes for their platforms; its binaries
# are hardened release builds (check_hardening.py); and the example host
# links against the unpacked kit alone, importing both DLLs by name, with
# the kit's root alone on CMAKE_PREFIX_PATH, whose package takes each
# compiler's folder.
#   windows_kit_test.sh KIT_ZIP WORK_DIR
set -euo pipefail
zip_file=$(realpath "$1") work=$(realpath -m "$2")
repo=$(cd "$(dirname "$0")/../.." && pwd)
source "$repo/scripts/wine.sh"
source "$repo/scripts/summary.sh"
skipped() { echo "windows_kit_test: SKIPPED $*"; summary_add "windows kit: SKIPPED $*"; }

rm -rf "$work"
mkdir -p "$work"
unzip -q "$zip_file" -d "$work"
kit=$work/$(basename "$zip_file" .zip)
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

expected=(
  README.txt QBSocks32Config.cmake QBSocks32ConfigVersion.cmake
  include/CSocks.h include/QBSocks32.h include/afxdll.h include/afxsock.h include/win32.h
  include/win32_windows.h
  mingw/bin/QBSocks32.dll mingw/bin/QBSocks32.debug mingw/bin/qbafx.dll mingw/bin/qbafx.debug
  mingw/lib/QBSocks32.def mingw/lib/libQBSocks32.dll.a mingw/lib/libqbafx.dll.a mingw/lib/qbafx.def
  mingw/lib/cmake/QBSocks32/QBSocks32Config.cmake mingw/lib/cmake/QBSocks32/QBSocks32ConfigVersion.cmake
  msvc/bin/QBSocks32.dll msvc/bin/QBSocks32.pdb msvc/bin/qbafx.dll msvc/bin/qbafx.pdb
  msvc/lib/QBSocks32.lib msvc/lib/qbafx.lib msvc/lib/QBSocks32.msvc.def
  msvc/lib/cmake/QBSocks32/QBSocks32Config.cmake msvc/lib/cmake/QBSocks32/QBSocks32ConfigVersion.cmake
)
# The 64-bit folders hold the same files as their 32-bit ones, but for the
# .def of the MSVC-ABI exports, whose names differ.
for flavour in msvc mingw; do
  for file in "${expected[@]}"; do
    [[ $file == "$flavour"/* ]] || continue
    file=$flavour-x64/${file#*/}
    expected+=("${file/QBSocks32.msvc.def/QBSocks32.msvc-x64.def}")
  done
done

expected+=(tools/README.txt tools/qbafx.dll tools/qbafx.debug tools/qbsocks-cat.exe tools/qbsocks-cat.debug)
expected+=(c/include/qbsocks.h tools/qbsocks.dll tools/qbsocks.debug)
expected+=(c{,-x64}/bin/qbsocks.{dll,pdb} c{,-x64}/lib/{qbsocks.lib,libqbsocks.dll.a,qbsocks.def})
expected+=(bindings/QBSocks.cs bindings/qbsocks.py QBSocks32.props sample/ConnectDlg{.cpp,.h,.rc,Res.h})
version=${kit##*/QBSocks32-} && version=${version%-windows}
expected+=(bindings/qbsocks-"$version"-py3-none-{win32,win_amd64}.whl)
actual=$(cd "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
wanted=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
[[ "$actual" == "$wanted" ]] || fail "the kit holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$wanted"

for header in proxy_socket/CSocks.h module/QBSocks32.h platform/include/{afxdll.h,afxsock.h,win32.h,win32_windows.h} include/qbsocks.h; do
  folder=include
  [[ $header == include/* ]] && folder=c/include
  cmp -s "$repo/$header" "$kit/$folder/$(basename "$header")" || fail "$folder/$(basename "$header") differs from $header"
done

# Each folder's DLLs are of its architecture.
for folder in mingw mingw-x64 msvc msvc-x64 c c-x64; do
  format=coff-i386
  [[ $folder == *-x64 ]] && format=coff-x86-64
  dlls=(QBSocks32.dll qbafx.dll)
  [[ $folder == c* ]] && dlls=(qbsocks.dll)
  for dll in "${dlls[@]}"; do
    llvm-objdump -f "$kit/$folder/bin/$dll" | grep -q "file format $format" ||
      fail "$folder/bin/$dll is not a Windows DLL of its folder's architecture ($format)"
  done
done

# pip takes each Python wheel for its platform; it carries the qbsocks.dll
# of its architecture's folder where the module loads it by its full path.
for wheel in "win32 c coff-i386" "win_amd64 c-x64 coff-x86-64"; do
  read -r platform folder format <<<"$wheel"
  site=$work/wheel-$platform
  /usr/bin/python3 -m pip install -q --root-user-action=ignore --no-index --only-binary=:all: --platform "$platform" --target "$site" \
    "$kit/bindings/qbsocks-$version-py3-none-$platform.whl" || fail "pip refuses the $platform wheel"
  llvm-objdump -f "$site/qbsocks/qbsocks.dll" | grep -q "file format $format" &&
    cmp -s "$site/qbsocks/qbsocks.dll" "$kit/$folder/bin/qbsocks.dll" || fail "the $platform wheel lacks $folder/bin/qbsocks.dll"
  loads=$(cd "$site" && env -u QBSOCKS_LIBRARY /usr/bin/python3 -c 'import qbsocks; print(*qbsocks._library_file("win32"))')
  [[ $loads == "$site/qbsocks/qbsocks.dll $((0x1100))" ]] || fail "the $platform wheel's module loads $loads"
done

# MinGW-w64 flavour.
objdump=i686-w64-mingw32-objdump
grep -q '_Z13AfxSocketInitP7WSAData' "$kit/mingw/lib/qbafx.def" || fail "qbafx.def lacks AfxSocketInit"
# The GCC runtimes, the stack protector's among them, are linked in: no DLL
# of theirs to ship. llvm-objdump reads the import tables of both
# architectures; one it cannot read fails.
for binary in "$kit"/mingw/bin/*.dll "$kit"/mingw-x64/bin/*.dll "$kit"/tools/*.dll "$kit"/tools/*.exe \
  "$kit"/c/bin/*.dll "$kit"/c-x64/bin/*.dll; do
  imports=$(llvm-objdump -p "$binary" | sed -n 's/.*DLL Name: //p')
  [[ -n $imports ]] || fail "${binary#"$kit"/}: llvm-objdump read no import table"
  ! grep -qiE '^lib(ssp|gcc|stdc|winpthread)' <<<"$imports" || fail "${binary#"$kit"/} imports a GCC runtime DLL"
done

# Hosts find the kit with its root alone on CMAKE_PREFIX_PATH (BOTH: the
# toolchains otherwise look for packages in MinGW-w64's tree only), and its
# package takes the folder of their compiler and architecture.
kit_prefix=(-DCMAKE_PREFIX_PATH="$kit" -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH)
took_folder() {  # BUILD_DIR FOLDER
  grep -qsF "$kit/$2/lib/" "$1/build.ninja" || fail "${1#"$work"/} does not link the kit's $2 folder"
}

# Every binary a hardened release build (the table goes to the log).
# Debian's python3-pefile is for Debian's Python.
/usr/bin/python3 "$repo/tests/packaging/check_hardening.py" "$kit" ||
  fail "a binary of the kit lacks a protection (check_hardening.py's table above)"

# A project whose only language is C takes the C interface alone
# (COMPONENTS C) from the kit's root: with clang-cl for x64 and MinGW-w64
# for i686, each links the import library of its architecture's folder.
mkdir -p "$work/c_host"
printf '%s\n' 'cmake_minimum_required(VERSION 3.16)' 'project(KitCHost LANGUAGES C)' \
  'find_package(QBSocks32 1.0 REQUIRED COMPONENTS C)' 'add_library(c_host SHARED c_host.c)' \
  'target_link_libraries(c_host PRIVATE QBSocks32::qbsocks)' 'if(MSVC)' 'target_link_options(c_host PRIVATE /noentry)' \
  'endif()' >"$work/c_host/CMakeLists.txt"
printf '%s\n' '#include <qbsocks.h>' '__declspec(dllexport) int c_host(void) { return qbsocks_version()[0]; }' \
  >"$work/c_host/c_host.c"
for c_host in "c-x64 clang-cl-x86_64-msvc.cmake qbsocks.lib" "c mingw-i686.cmake libqbsocks.dll.a"; do
  read -r folder toolchain implib <<<"$c_host"
  cmake -S "$work/c_host" -B "$work/c_host-$folder" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain" \
    "${kit_prefix[@]}" >/dev/null && cmake --build "$work/c_host-$folder" >/dev/null || fail "a C-only project does not build against the kit's $folder"
  grep -qsF "$kit/$folder/lib/$implib" "$work/c_host-$folder/build.ninja" || fail "the C-only project does not link $folder/lib/$implib"
done

# The property sheet, read as MSBuild would for Win32 and x64; and the MFC
# sample compiled for both against the unpacked kit as a new Visual Studio
# project compiles it (tests/packaging/mfc_sample, with a stand-in for
# MFC's headers), its object asking the linker for Normaliz.lib.
/usr/bin/python3 "$repo/tests/packaging/check_props.py" "$kit" || fail "QBSocks32.props does not resolve against the kit"
for toolchain in clang-cl-i686-msvc clang-cl-x86_64-msvc; do
  cmake -S "$repo/tests/packaging/mfc_sample" -B "$work/mfc_sample-$toolchain" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain.cmake" \
    -DKIT="$kit" -DSTANDIN="$repo/tests/packaging/mfc_standin" >/dev/null &&
    cmake --build "$work/mfc_sample-$toolchain" >/dev/null || fail "the MFC sample does not compile against the kit ($toolchain)"
  find "$work/mfc_sample-$toolchain" -name ConnectDlg.cpp.obj -exec llvm-readobj --coff-directives {} + |
    grep -q '/DEFAULTLIB:Normaliz.lib' || fail "the MFC sample does not link Normaliz.lib for IdnToAscii ($toolchain)"
done

# The example host, with CMake and the kit's mingw package.
cmake -S "$repo/examples" -B "$work/example" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  "${kit_prefix[@]}" -DCMAKE_{C,CXX}_FLAGS="-Wall -Wextra -Werror" >/dev/null &&
  cmake --build "$work/example" >/dev/null || fail "the example hosts do not build against the kit (MinGW, CMake)"
took_folder "$work/example" mingw
for example in "qbsocks_request QBSocks32.dll qbafx.dll" "qbsocks_request_c qbsocks.dll"; do
  read -r program dlls <<<"$example"
  [[ -f "$work/example/$program.exe" ]] || continue
  imports=$("$objdump" -p "$work/example/$program.exe" | sed -n 's/.*DLL Name: //p')
  for dll in $dlls; do
    grep -qx "$dll" <<<"$imports" || fail "$program built against the kit does not import $dll"
  done
done

# MSVC-ABI flavour: the host programs of that build, compiled and linked
# against the kit's headers and import libraries alone. What stands in for
# their C run-time (start-up code, MSVCRT's import library) comes from the
# MSVC build, the system's import libraries from MinGW-w64.
# With CMake, the clang-cl toolchain and the kit's msvc package, as a host
# author builds them.
build_kit_hosts() {  # FOLDER TOOLCHAIN MSVC_BUILD [TARGET...]
  local folder=$1 toolchain=$2 build=$3
  shift 3
  cmake -S "$repo/tests/packaging/kit_host" -B "$work/kit_host-$folder" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain" -DQBSOCKS_SOURCE="$repo" \
    "${kit_prefix[@]}" -DQBSOCKS_CRT="$build/bin/qbmsvc_exe_start.lib;$build/platform/msvc/msvcrt.lib" \
    >/dev/null && cmake --build "$work/kit_host-$folder" ${1:+--target "$@"} >/dev/null ||
    fail "the MSVC hosts do not build against the kit's $folder folder (CMake)"
  took_folder "$work/kit_host-$folder" "$folder"
}
msvc_build=$repo/build/windows-msvc
build_kit_hosts msvc clang-cl-i686-msvc.cmake "$msvc_build"
for host in socks_host load_host vs_default_host; do
  cp "$work/kit_host-msvc/$host.exe" "$work/" 2>/dev/null || true
done
if [[ -f "$work/socks_host.exe" ]]; then
  imports=$(llvm-objdump -p "$work/socks_host.exe" | sed -n 's/.*DLL Name: //p')
  for dll in QBSocks32.dll qbafx.dll; do
    grep -qx "$dll" <<<"$imports" || fail "the MSVC host built against the kit does not import $dll"
  done
fi

# And they run, beside the kit's own DLLs, under 32-bit Wine where it
# starts (in the MSVC build's prefix, which scripts/test-windows.sh made).
if [[ -f "$work/socks_host.exe" && -f "$work/load_host.exe" && -f "$work/vs_default_host.exe" ]]; then
  if wine32_runs; then
    mkdir -p "$work/run"
    cp "$work"/{socks,load,vs_default}_host.exe "$kit"/msvc/bin/*.dll "$work/run/"
    wine=(env WINEPREFIX="$msvc_build/wineprefix" WINEDEBUG=-all WINELOADER="$wine32_loader" wine)
    "${wine[@]}" "$work/run/load_host.exe" | tail -n 1 | grep -qE '^[0-9]+ passed, 0 failed' ||
      fail "the kit-built MSVC load host failed under Wine"
    # With Wine's heap checks, which report a block freed into another heap.
    heap_run=$(env WINEPREFIX="$msvc_build/wineprefix" WINEDEBUG=warn+heap WINELOADER="$wine32_loader" \
      wine "$work/run/vs_default_host.exe" 2>&1)
    grep -qE '^[0-9]+ passed, 0 failed' <<<"$heap_run" && ! grep -q ':heap:' <<<"$heap_run" ||
      fail "the kit-built MSVC host vs_default_host failed under Wine:"$'\n'"$heap_run"
    python3 "$repo/tests/support/linux_servers.py" "${wine[@]}" "$work/run/socks_host.exe" |
      tail -n 1 | grep -qE '^[0-9]+ passed, 0 failed' || fail "the kit-built MSVC socks host failed under Wine"
    stop_wineserver "$msvc_build" "$wine32_loader"
  else
    skipped "running the kit-built 32-bit MSVC hosts: $(wine32_absence)"
  fi
fi

# One host from the msvc-x64 folder alone, under 64-bit Wine's heap checks
# (in the x64 MSVC build's prefix).
msvc64_build=$repo/build/windows-msvc-x64
build_kit_hosts msvc-x64 clang-cl-x86_64-msvc.cmake "$msvc64_build" vs_default_host
# The msvc-x64 package refuses a 32-bit compiler, and says which folder is whose.
refusal=$(cmake -S "$repo/tests/packaging/kit_host" -B "$work/refused" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/clang-cl-i686-msvc.cmake" \
  -DQBSocks32_DIR="$kit/msvc-x64/lib/cmake/QBSocks32" 2>&1) && fail "msvc-x64 accepted a 32-bit compiler"
grep -q "msvc-x64 folder is for 64-bit" <<<"$refusal" || fail "msvc-x64 refused a 32-bit compiler without saying why:"$'\n'"$refusal"
# The kit's root refuses a compiler that none of its folders is for (this
# machine's own), and names them.
refusal=$(cmake -S "$repo/examples" -B "$work/refused-root" -G Ninja -DCMAKE_PREFIX_PATH="$kit" 2>&1 | tr -s ' \n' ' ') &&
  fail "the kit's root accepted a Linux compiler"
grep -q "matches none of the kit's folders.*msvc-x64 for 64-bit" <<<"$refusal" ||
  fail "the kit's root refused a Linux compiler without saying why:"$'\n'"$refusal"
if [[ -f "$work/kit_host-msvc-x64/vs_default_host.exe" ]]; then
  mkdir -p "$work/run64"
  cp "$work/kit_host-msvc-x64/vs_default_host.exe" "$kit"/msvc-x64/bin/*.dll "$work/run64/"
  heap_run=$(env WINEPREFIX="$msvc64_build/wineprefix" WINEDEBUG=warn+heap WINEARCH=win64 \
    WINELOADER="$wine64_loader" "$wine64_loader" "$work/run64/vs_default_host.exe" 2>&1)
  grep -qE '^[0-9]+ passed, 0 failed' <<<"$heap_run" && ! grep -q ':heap:' <<<"$heap_run" ||
    fail "the msvc-x64 kit-built host vs_default_host failed under 64-bit Wine:"$'\n'"$heap_run"
  stop_wineserver "$msvc64_build" "$wine64_loader"
fi

# tools\qbsocks-cat.exe runs from its folder under 32-bit Wine (in the
# MinGW build's prefix, with the settings' key removed: the direct path):
# a line piped through it to the echo target of linux_servers.py comes back
# once the end of its input has reached the target.
if [[ -f "$kit/tools/qbsocks-cat.exe" ]] && wine32_runs; then
  wine=(env WINEPREFIX="$repo/build/windows/wineprefix" WINEDEBUG=-all WINELOADER="$wine32_loader" wine)
  "${wine[@]}" reg delete 'HKCU\Software\Quillbrook\Game\Share\Proxy' /f >/dev/null 2>&1 || true
  # shellcheck disable=SC2016 # expanded by the inner shell, where linux_servers.py set it
  reply=$(python3 "$repo/tests/support/linux_servers.py" bash -c \
    'echo "hello through the kit" | "$@" -v 127.0.0.1 "$QBSOCKS_ECHO_PORT"' _ "${wine[@]}" "$kit/tools/qbsocks-cat.exe" \
    2>"$work/cat.err") || fail "tools\\qbsocks-cat.exe failed under Wine: $(cat "$work/cat.err")"
  [[ $reply == "hello through the kit" ]] || fail "tools\\qbsocks-cat.exe answered \"$reply\""
  grep -q '(direct)' "$work/cat.err" || fail "tools\\qbsocks-cat.exe did not name the direct path: $(cat "$work/cat.err")"
  stop_wineserver "$repo/build/windows" "$wine32_loader"
else
  skipped "running tools\\qbsocks-cat.exe: $(wine32_absence)"
fi

((status == 0)) && echo "windows_kit_test: the kit's files, headers and DLLs are right; MinGW and MSVC hosts build against it (32-bit and x64), and the MSVC hosts and tools\\qbsocks-cat.exe run where their Wine starts"
exit $status
