#!/usr/bin/env bash
# Checks the export table of the built QBSocks32.dll: exactly these names at
# exactly these ordinals, and nothing else exported. With "qbsocks", of
# qbsocks.dll, the C interface: its C names alone, and no DLL
# imported but Windows' own (it is self-contained).
#   check_dll_exports.sh path/to/QBSocks32.dll [objdump]
#   check_dll_exports.sh path/to/qbsocks.dll objdump qbsocks
set -euo pipefail
dll=$1
objdump=${2:-i686-w64-mingw32-objdump}
table=${3:-QBSocks32}

expected_QBSocks32="1 _ZN6CSocksC1Ev
2 _ZN6CSocksD1Ev
3 _ZTV6CSocks
4 _ZN6CSocks10AuthPasswdEv
5 _ZN6CSocks7ConnectEPKcj
6 _ZN6CSocks5IsDNSEPKc
7 _ZN6CSocks12MyMessageBoxEPKc
8 _ZN6CSocks9MyReceiveEPvii
9 _ZN6CSocks12ReadRegistryEv
10 _ZN6CSocks13Socks4ConnectEPKcj
11 _ZN6CSocks13Socks5ConnectEPKcj
12 InitSocksDLL
13 _ZN6CSocksC2Ev
14 _ZN6CSocksD0Ev
15 _ZN6CSocksD2Ev
16 _ZTI6CSocks
17 _ZTS6CSocks"
expected_qbsocks="1 qbsocks_connect
2 qbsocks_route
3 qbsocks_version
4 qbsocks_connect_timeout
5 qbsocks_connect_ex
6 qbsocks_cancel_create
7 qbsocks_cancel_trigger
8 qbsocks_cancel_destroy
9 qbsocks_proxy_url
10 qbsocks_connect_start
11 qbsocks_connect_poll
12 qbsocks_connect_finish
13 qbsocks_connect_async
14 qbsocks_set_proxy_url"
expected_name=expected_$table
expected=${!expected_name}
entries=$(wc -l <<<"$expected")

dump=$("$objdump" -p "$dll")
base=$(sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p' <<<"$dump")
[[ -n "$base" ]] || { echo "FAIL: $dll has no export table" >&2; exit 1; }
# Rows of "[Ordinal/Name Pointer] Table" are "[index] name", index = ordinal - base.
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' |
  awk -v base="$base" '{ print $1 + base, $2 }' | sort -n)
unnamed=$(grep -c 'Export RVA' <<<"$dump" || true)

status=0
if [[ "$actual" != "$expected" ]]; then
  echo "FAIL: exports differ (< expected, > in $dll):" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  status=1
fi
if [[ "$unnamed" -ne "$entries" ]]; then
  echo "FAIL: $unnamed entries in the export address table, expected $entries" >&2
  status=1
fi
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
if [[ $table == qbsocks ]] && grep -qviE '^(KERNEL32|USER32|ADVAPI32|WS2_32|MSVCRT)\.DLL$' <<<"$imports"; then
  echo "FAIL: $dll imports a DLL that is not Windows' own:" $imports >&2
  status=1
fi
exit $status
