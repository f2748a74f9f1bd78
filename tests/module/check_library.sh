#!/usr/bin/env bash
# Checks the built libQBSocks32.so as a packager or a linker sees it: the
# dynamic symbols it defines are exactly the export table's (with the
# symbols the Itanium C++ ABI gives each row), its soname and file version
# (the build's release number), its binding (full RELRO, bind now), and the
# version strings it carries (the version resource's, 1.0.0.1); and, given
# the build tree, that no ELF file in it has a run path entry that the
# loader takes from the current folder: an empty one, or one neither under
# $ORIGIN nor absolute (the build's own are under $ORIGIN; the hosts that
# tests build as users do name their prefix).
#   check_library.sh path/to/libQBSocks32.so RELEASE [BUILD_TREE]
set -euo pipefail
lib=$1 release=$2 tree=${3:-}
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

expected_exports=(
  _ZN6CSocksC1Ev _ZN6CSocksC2Ev                   # CSocks::CSocks()
  _ZN6CSocksD0Ev _ZN6CSocksD1Ev _ZN6CSocksD2Ev    # CSocks::~CSocks()
  _ZTV6CSocks _ZTI6CSocks _ZTS6CSocks             # vtable, typeinfo and its name
  _ZN6CSocks10AuthPasswdEv
  _ZN6CSocks7ConnectEPKcj
  _ZN6CSocks5IsDNSEPKc
  _ZN6CSocks12MyMessageBoxEPKc
  _ZN6CSocks9MyReceiveEPvii
  _ZN6CSocks12ReadRegistryEv
  _ZN6CSocks13Socks4ConnectEPKcj
  _ZN6CSocks13Socks5ConnectEPKcj
  InitSocksDLL
)
expected=$(printf '%s\n' "${expected_exports[@]}" | sort)
actual=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | sort)
if [[ "$expected" != "$actual" ]]; then
  fail "exported symbols differ (< expected, > exported):"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[[ "$soname" == libQBSocks32.so.1 ]] || fail "soname is '$soname'"
real=$(basename "$(readlink -f "$lib")")
[[ "$real" == "libQBSocks32.so.$release" ]] || fail "file is '$real', not version $release"

# Full RELRO and bind now, in every build type (as the Debian packages).
grep -q GNU_RELRO <<<"$(readelf -lW "$lib")" || fail "no RELRO segment"
grep -Eq 'BIND_NOW|Flags:.* NOW' <<<"$(readelf -dW "$lib")" || fail "not linked with -z now"

version_strings=$(readelf -p .qbsocks.version "$lib" 2>/dev/null || true)
all_strings=$(strings -a "$lib")
for entry in \
    "FixedFileVersion=1.0.0.1" "FixedProductVersion=1.0.0.1" \
    "FileDescription=QBSocks32 DLL" "FileVersion=1, 0, 0, 1" "InternalName=QBSocks32" \
    "OriginalFilename=QBSocks32.DLL" "ProductName=QBSocks32 Dynamic Link Library" \
    "ProductVersion=1, 0, 0, 1" "Description=QBSocks32 Windows Dynamic Link Library"; do
  grep -qxF -- "$entry" <<<"$(sed -n 's/^ *\[ *[0-9a-f]*\]  //p' <<<"$version_strings")" \
    || fail "readelf does not find '$entry' in .qbsocks.version"
  grep -qxF -- "$entry" <<<"$all_strings" || fail "strings does not find '$entry'"
done

while IFS=$'\t' read -r file runpath; do
  [[ "$runpath" != :* && "$runpath" != *: && "$runpath" != *::* ]] || fail "$file: empty run path entry in '$runpath'"
  IFS=: read -ra entries <<<"$runpath"
  for entry in "${entries[@]}"; do
    [[ -z "$entry" || "$entry" == '$ORIGIN'* || "$entry" == /* ]] || fail "$file: run path entry '$entry' is relative"
  done
done < <([[ -z "$tree" ]] || find "$tree" -type f ! -name '*.o' ! -name '*.a' -exec readelf -dW {} + 2>/dev/null |
  awk '/^File: / { file = substr($0, 7) } /\(R(UN)?PATH\)/ { match($0, /\[.*\]$/); print file "\t" substr($0, RSTART + 1, RLENGTH - 2) }')

exit $status
