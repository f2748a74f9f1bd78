#!/usr/bin/env bash
# The Windows kit holds exactly its files; its headers are the library's;
# each flavour's DLLs are 32-bit Windows DLLs; its binaries are hardened
# release builds (check_hardening.py); and the example host links against
# the unpacked kit alone, importing both DLLs by name.
#   windows_kit_test.sh KIT_ZIP WORK_DIR
set -euo pipefail
zip_file=$(realpath "$1") work=$(realpath -m "$2")
repo=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$work"
mkdir -p "$work"
unzip -q "$zip_file" -d "$work"
kit=$work/$(basename "$zip_file" .zip)
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

expected=(
  README.txt
  include/CSocks.h include/QBSocks32.h include/afxdll.h include/afxsock.h include/win32.h
  mingw/bin/QBSocks32.dll mingw/bin/QBSocks32.debug mingw/bin/qbafx.dll mingw/bin/qbafx.debug
  mingw/lib/QBSocks32.def mingw/lib/libQBSocks32.dll.a mingw/lib/libqbafx.dll.a mingw/lib/qbafx.def
  mingw/lib/cmake/QBSocks32/QBSocks32Config.cmake mingw/lib/cmake/QBSocks32/QBSocks32ConfigVersion.cmake
  msvc/bin/QBSocks32.dll msvc/bin/qbafx.dll
  msvc/lib/QBSocks32.lib msvc/lib/qbafx.lib msvc/lib/QBSocks32.msvc.def
  msvc/lib/cmake/QBSocks32/QBSocks32Config.cmake msvc/lib/cmake/QBSocks32/QBSocks32ConfigVersion.cmake
)

expected+=(tools/README.txt tools/qbafx.dll tools/qbafx.debug tools/qbsocks-cat.exe tools/qbsocks-cat.debug)
actual=$(cd "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
wanted=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
[[ "$actual" == "$wanted" ]] || fail "the kit holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$wanted"

for header in proxy_socket/CSocks.h module/QBSocks32.h platform/include/{afxdll.h,afxsock.h,win32.h}; do
  cmp -s "$repo/$header" "$kit/include/$(basename "$header")" || fail "include/$(basename "$header") differs from $header"
done

# MinGW-w64 flavour.
objdump=i686-w64-mingw32-objdump
for dll in QBSocks32.dll qbafx.dll; do
  "$objdump" -f "$kit/mingw/bin/$dll" | grep -q 'file format pei-i386' || fail "mingw/bin/$dll is not a 32-bit Windows DLL"
done
grep -q '_Z13AfxSocketInitP7WSAData' "$kit/mingw/lib/qbafx.def" || fail "qbafx.def lacks AfxSocketInit"
# The GCC runtimes, the stack protector's among them, are linked in: no DLL
# of theirs to ship.
for binary in "$kit"/mingw/bin/*.dll "$kit"/tools/*.dll "$kit"/tools/*.exe; do
  ! "$objdump" -p "$binary" | grep -qiE 'DLL Name: lib(ssp|gcc|stdc|winpthread)' ||
    fail "${binary#"$kit"/} imports a GCC runtime DLL"
done

# Every binary a hardened release build (the table goes to the log). The
# MSVC-ABI flavour is not hardened yet: only the MinGW-w64 folders for now.
# Debian's python3-pefile is for Debian's Python.
/usr/bin/python3 "$repo/tests/packaging/check_hardening.py" --only mingw,tools "$kit" ||
  fail "a binary of the kit lacks a protection (check_hardening.py's table above)"

# The example host, with CMake and the kit's mingw package.
cmake -S "$repo/examples" -B "$work/example" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  -DQBSocks32_DIR="$kit/mingw/lib/cmake/QBSocks32" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null &&
  cmake --build "$work/example" >/dev/null || fail "the example host does not build against the kit (MinGW, CMake)"
if [[ -f "$work/example/qbsocks_request.exe" ]]; then
  imports=$("$objdump" -p "$work/example/qbsocks_request.exe" | sed -n 's/.*DLL Name: //p')
  for dll in QBSocks32.dll qbafx.dll; do
    grep -qx "$dll" <<<"$imports" || fail "the host built against the kit does not import $dll"
  done
fi

# MSVC-ABI flavour: the host programs of that build, compiled and linked
# against the kit's headers and import libraries alone. What stands in for
# their C run-time (start-up code, MSVCRT's import library) comes from the
# MSVC build, the system's import libraries from MinGW-w64.
msvc_build=$repo/build/windows-msvc
for dll in QBSocks32.dll qbafx.dll; do
  llvm-objdump -f "$kit/msvc/bin/$dll" | grep -q 'file format coff-i386' || fail "msvc/bin/$dll is not a 32-bit Windows DLL"
done
# With CMake, the clang-cl toolchain and the kit's msvc package, as a host
# author builds them.
cmake -S "$repo/tests/packaging/kit_host" -B "$work/kit_host" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/clang-cl-i686-msvc.cmake" -DQBSOCKS_SOURCE="$repo" \
  -DQBSocks32_DIR="$kit/msvc/lib/cmake/QBSocks32" \
  -DQBSOCKS_CRT="$msvc_build/bin/qbmsvc_exe_start.lib;$msvc_build/platform/msvc/msvcrt.lib" \
  >/dev/null && cmake --build "$work/kit_host" >/dev/null ||
  fail "the MSVC hosts do not build against the kit (CMake)"
for host in socks_host load_host vs_default_host; do
  cp "$work/kit_host/$host.exe" "$work/" 2>/dev/null || true
done
if [[ -f "$work/socks_host.exe" ]]; then
  imports=$(llvm-objdump -p "$work/socks_host.exe" | sed -n 's/.*DLL Name: //p')
  for dll in QBSocks32.dll qbafx.dll; do
    grep -qx "$dll" <<<"$imports" || fail "the MSVC host built against the kit does not import $dll"
  done
fi

# And they run, beside the kit's own DLLs, under 32-bit Wine where it
# starts (in the MSVC build's prefix, which scripts/test-windows.sh made).
wine32_loader=/usr/lib/wine/wine
if [[ -f "$work/socks_host.exe" && -f "$work/load_host.exe" && -f "$work/vs_default_host.exe" ]]; then
  if "$wine32_loader" --version >/dev/null 2>&1; then
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
    python3 "$repo/tests/interop/linux_servers.py" "${wine[@]}" "$work/run/socks_host.exe" |
      tail -n 1 | grep -qE '^[0-9]+ passed, 0 failed' || fail "the kit-built MSVC socks host failed under Wine"
    WINEPREFIX="$msvc_build/wineprefix" WINELOADER="$wine32_loader" wineserver -k >/dev/null 2>&1 || true
  else
    echo "windows_kit_test: SKIPPED running the kit-built MSVC hosts: 32-bit Wine cannot start here"
  fi
fi

# tools\qbsocks-cat.exe runs from its folder under 32-bit Wine (in the
# MinGW build's prefix, with the settings' key removed: the direct path):
# a line piped through it to the echo target of linux_servers.py comes back
# once the end of its input has reached the target.
if [[ -f "$kit/tools/qbsocks-cat.exe" ]] && "$wine32_loader" --version >/dev/null 2>&1; then
  wine=(env WINEPREFIX="$repo/build/windows/wineprefix" WINEDEBUG=-all WINELOADER="$wine32_loader" wine)
  "${wine[@]}" reg delete 'HKCU\Software\Quillbrook\Game\Share\Proxy' /f >/dev/null 2>&1 || true
  # shellcheck disable=SC2016 # expanded by the inner shell, where linux_servers.py set it
  reply=$(python3 "$repo/tests/interop/linux_servers.py" bash -c \
    'echo "hello through the kit" | "$@" -v 127.0.0.1 "$QBSOCKS_ECHO_PORT"' _ "${wine[@]}" "$kit/tools/qbsocks-cat.exe" \
    2>"$work/cat.err") || fail "tools\\qbsocks-cat.exe failed under Wine: $(cat "$work/cat.err")"
  [[ $reply == "hello through the kit" ]] || fail "tools\\qbsocks-cat.exe answered \"$reply\""
  grep -q '(direct)' "$work/cat.err" || fail "tools\\qbsocks-cat.exe did not name the direct path: $(cat "$work/cat.err")"
  WINEPREFIX="$repo/build/windows/wineprefix" WINELOADER="$wine32_loader" wineserver -k >/dev/null 2>&1 || true
else
  echo "windows_kit_test: SKIPPED running tools\\qbsocks-cat.exe: 32-bit Wine cannot start here"
fi

((status == 0)) && echo "windows_kit_test: the kit's files, headers and DLLs are right; MinGW and MSVC hosts build against it, and the MSVC hosts and tools\\qbsocks-cat.exe run"
exit $status
