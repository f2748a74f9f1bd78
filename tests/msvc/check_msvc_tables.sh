#!/usr/bin/env bash
# Checks the export and import tables of the MSVC-ABI QBSocks32.dll with
# llvm-objdump -p: exactly the 12 exports at their ordinals, and exactly the
# imports below (qbafx.dll's by ordinal, resolved to names through
# qbafx.dll's own export table); and that qbafx.dll exports exactly what
# its .def lists, each at its ordinal there, since modules and hosts import
# it by ordinal. The lists below are in the x86 flavour's decorated names;
# an x64 module's tables are compared with them as llvm-undname reads both,
# less what only tells the architectures apart (calling conventions,
# __ptr64, the width of size_t).
#
#   check_msvc_tables.sh LLVM_OBJDUMP LLVM_UNDNAME QBSocks32.dll qbafx.dll qbafx.def
set -euo pipefail
objdump=$1 undname=$2 module=$3 qbafx=$4 qbafx_def=$5

expected_exports='1 ??0CSocks@@QAE@XZ
2 ??1CSocks@@UAE@XZ
3 ??_7CSocks@@6B@
4 ?AuthPasswd@CSocks@@IAEHXZ
5 ?Connect@CSocks@@QAEHPBDI@Z
6 ?IsDNS@CSocks@@IAEHPBD@Z
7 ?MyMessageBox@CSocks@@IAEHPBD@Z
8 ?MyReceive@CSocks@@IAEHPAXHH@Z
9 ?ReadRegistry@CSocks@@IAEXXZ
10 ?Socks4Connect@CSocks@@IAEHPBDI@Z
11 ?Socks5Connect@CSocks@@IAEHPBDI@Z
12 InitSocksDLL'

expected_imports='ADVAPI32.DLL GetTokenInformation
ADVAPI32.DLL GetUserNameA
ADVAPI32.DLL OpenThreadToken
ADVAPI32.DLL RegCloseKey
ADVAPI32.DLL RegOpenKeyA
ADVAPI32.DLL RegQueryValueExA
KERNEL32.DLL CloseHandle
KERNEL32.DLL GetCurrentThread
KERNEL32.DLL GetLastError
KERNEL32.DLL GetTickCount
KERNEL32.DLL lstrlenA
MSVCRT.DLL ?terminate@@YAXXZ
MSVCRT.DLL __CxxFrameHandler3
MSVCRT.DLL memchr
MSVCRT.DLL memcpy
MSVCRT.DLL memset
QBAFX.DLL ??0CDynLinkLibrary@@QAE@AAUAFX_EXTENSION_MODULE@@H@Z
QBAFX.DLL ??0CSocket@@QAE@XZ
QBAFX.DLL ??1CSocket@@UAE@XZ
QBAFX.DLL ??2CDynLinkLibrary@@SAPAXI@Z
QBAFX.DLL ??3CObject@@SGXPAX@Z
QBAFX.DLL ?Accept@CSocket@@UAEHAAVCAsyncSocket@@PAUsockaddr@@PAH@Z
QBAFX.DLL ?AfxInitExtensionModule@@YAHAAUAFX_EXTENSION_MODULE@@PAUHINSTANCE__@@@Z
QBAFX.DLL ?AfxTermExtensionModule@@YAXAAUAFX_EXTENSION_MODULE@@H@Z
QBAFX.DLL ?AssertValid@CObject@@UBEXXZ
QBAFX.DLL ?Close@CSocket@@UAEXXZ
QBAFX.DLL ?Connect@CAsyncSocket@@QAEHPBDI@Z
QBAFX.DLL ?ConnectHelper@CSocket@@MAEHPBUsockaddr@@H@Z
QBAFX.DLL ?Dump@CObject@@UBEXAAVCDumpContext@@@Z
QBAFX.DLL ?GetRuntimeClass@CSocket@@UBEPAUCRuntimeClass@@XZ
QBAFX.DLL ?OnAccept@CAsyncSocket@@UAEXH@Z
QBAFX.DLL ?OnClose@CAsyncSocket@@UAEXH@Z
QBAFX.DLL ?OnConnect@CAsyncSocket@@UAEXH@Z
QBAFX.DLL ?OnMessagePending@CSocket@@MAEHXZ
QBAFX.DLL ?OnOutOfBandData@CAsyncSocket@@UAEXH@Z
QBAFX.DLL ?OnReceive@CAsyncSocket@@UAEXH@Z
QBAFX.DLL ?OnSend@CAsyncSocket@@UAEXH@Z
QBAFX.DLL ?PumpMessages@CSocket@@MAEHI@Z
QBAFX.DLL ?Receive@CAsyncSocket@@UAEHPAXHH@Z
QBAFX.DLL ?Receive@CSocket@@UAEHPAXHH@Z
QBAFX.DLL ?ReceiveFromHelper@CSocket@@MAEHPAXHPAUsockaddr@@PAHH@Z
QBAFX.DLL ?Send@CSocket@@UAEHPBXHH@Z
QBAFX.DLL ?SendToHelper@CSocket@@MAEHPBXHPBUsockaddr@@HH@Z
QBAFX.DLL ?Serialize@CObject@@UAEXAAVCArchive@@@Z
WSOCK32.DLL WSAGetLastError
WSOCK32.DLL WSASetLastError
WSOCK32.DLL htons
WSOCK32.DLL inet_addr'

# "ordinal name" for each export with an address (lld 14 writes an empty
# row for ordinal 0, with ordinal base 0; it exports nothing).
exports_of() {
  "$objdump" -p "$1" | awk '/^Export Table:/ {on = 1; next}
    on && $1 ~ /^[0-9]+$/ && NF >= 3 && $2 != "0" {print $1, $3}'
}

# "DLL name" for each import; "DLL #ordinal" for one by ordinal alone.
# awk reads to the end: leaving early would end llvm-objdump with a broken
# pipe (exit 74), which pipefail reports as a failure whenever it loses
# the race.
imports_of() {
  "$objdump" -p "$1" | awk '/DLL Name:/ {dll = toupper($3); next}
    /^Export Table:/ {done = 1}
    !done && dll != "" && $1 ~ /^[0-9]+$/ {print dll, (NF >= 2 ? $2 : "#" $1)}'
}

actual_exports=$(exports_of "$module")
qbafx_exports=$(exports_of "$qbafx")
# qbafx.dll's ordinals as their names, so that the list says what is used.
actual_imports=$(imports_of "$module" | while read -r dll name; do
  if [[ $dll == QBAFX.DLL && $name == '#'* ]]; then
    resolved=$(awk -v n="${name#\#}" '$1 == n {print $2}' <<<"$qbafx_exports")
    echo "$dll ${resolved:-unknown-ordinal-${name#\#}}"
  elif [[ $dll == QBAFX.DLL ]]; then
    echo "$dll by-name:$name"  # must not happen: MFC42.DLL is imported by ordinal
  else
    echo "$dll $name"
  fi
done | LC_ALL=C sort)

# "prefix name" rows with each decorated name read out, as both
# architectures would print it.
undecorated() {
  while read -r prefix name; do
    [[ $name == '?'* ]] && name=$("$undname" "$name" | sed -n 2p |
      sed -E 's/ __ptr64//g; s/__(thiscall|cdecl|stdcall) //g; s/unsigned __int64/unsigned int/g')
    echo "$prefix $name"
  done | LC_ALL=C sort
}
if "$objdump" -f "$module" | grep -q 'file format coff-x86-64'; then
  expected_exports=$(undecorated <<<"$expected_exports")
  expected_imports=$(undecorated <<<"$expected_imports")
  actual_exports=$(undecorated <<<"$actual_exports")
  actual_imports=$(undecorated <<<"$actual_imports")
fi

status=0
check() {  # what, expected, actual
  if [[ "$2" == "$3" ]]; then
    echo "ok: $1 ($(wc -l <<<"$3") rows)"
  else
    echo "FAILED: $1 differs (- expected, + actual):"
    diff <(echo "$2") <(echo "$3") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
    status=1
  fi
}
check "export table of $(basename "$module")" "$(LC_ALL=C sort <<<"$expected_exports")" \
  "$(LC_ALL=C sort <<<"$actual_exports")"
check "import table of $(basename "$module")" "$(LC_ALL=C sort <<<"$expected_imports")" "$actual_imports"
check "export table of $(basename "$qbafx") against $(basename "$qbafx_def")" \
  "$(awk '$2 ~ /^@[0-9]+$/ {print substr($2, 2), $1}' "$qbafx_def" | sort -n)" "$(sort -n <<<"$qbafx_exports")"
exit $status
