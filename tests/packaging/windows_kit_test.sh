#!/usr/bin/env bash
# The Windows kit holds exactly its files; its headers are the library's;
# each flavour's DLLs are 32-bit Windows DLLs; and the example host links
# against the unpacked kit alone, importing both DLLs by name.
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
  mingw/bin/QBSocks32.dll mingw/bin/qbafx.dll
  mingw/lib/QBSocks32.def mingw/lib/libQBSocks32.dll.a mingw/lib/libqbafx.dll.a mingw/lib/qbafx.def
)
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

i686-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -I"$kit/include" \
  "$repo/examples/qbsocks_request.cpp" "$kit/mingw/lib/libQBSocks32.dll.a" "$kit/mingw/lib/libqbafx.dll.a" \
  -static -o "$work/qbsocks_request.exe" || fail "the example host does not build against the kit (MinGW)"
if [[ -f "$work/qbsocks_request.exe" ]]; then
  imports=$("$objdump" -p "$work/qbsocks_request.exe" | sed -n 's/.*DLL Name: //p')
  for dll in QBSocks32.dll qbafx.dll; do
    grep -qx "$dll" <<<"$imports" || fail "the host built against the kit does not import $dll"
  done
fi

((status == 0)) && echo "windows_kit_test: the kit's files, headers and DLLs are right; a MinGW host links against it"
exit $status
