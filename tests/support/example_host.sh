#!/usr/bin/env bash
# Builds the example hosts (C++ and C) against an installed QBSocks32 (with
# find_package, and once more with pkg-config) and runs them against an echo
# target on 127.0.0.1, directly and through each proxy the tests start: the
# answer must be the request. The C one is also cancelled (SIGTERM) and
# timed out against a proxy that never answers, and must say so, as the
# poll loop's must when timed out; the callbacks' connects at once must each
# end as they should, and docs/api.md's programs compile. The install is a
# `cmake --install` prefix or unpacked Debian packages (their usr/); the library folder is where
# qbsocks32.pc lies (lib, or lib/<multiarch> under /usr). Runs under
# tests/support/linux_servers.py, which starts the proxies:
#   linux_servers.py bash example_host.sh PREFIX WORK_DIR CMAKE CXX CXXFLAGS LDFLAGS
set -euo pipefail
prefix=$(realpath "$1") work=$(realpath "$2") cmake=$3 cxx=$4 cxxflags=$5 ldflags=$6
examples=$(cd "$(dirname "$0")/../../examples" && pwd)

pc_file=$(find "$prefix/lib" -name qbsocks32.pc -path '*/pkgconfig/*' | head -n 1)
[[ -n "$pc_file" ]] || { echo "FAIL: no qbsocks32.pc under $prefix/lib" >&2; exit 1; }
libdir=$(dirname "$(dirname "$pc_file")")
export PKG_CONFIG_PATH=$libdir/pkgconfig
release=$(pkg-config --modversion qbsocks32)  # the build's release number

missing=0
for f in "$prefix"/include/qbsocks32/{CSocks.h,QBSocks32.h,afxsock.h,afxdll.h,win32.h} \
         "$libdir"/{libQBSocks32.so,libQBSocks32.so.1,"libQBSocks32.so.$release",libqbafx.so,libqbafx.so.1} \
         "$libdir"/cmake/QBSocks32/{QBSocks32Config.cmake,QBSocks32ConfigVersion.cmake} \
         "$prefix"/include/qbsocks/qbsocks.h "$libdir"/{libqbsocks.so,libqbsocks.so.1} "$libdir"/pkgconfig/qbsocks.pc; do
  [[ -e "$f" ]] || { echo "FAIL: the install lacks ${f#"$prefix"/}" >&2; missing=1; }
done
((missing == 0)) || exit 1

mkdir -p "$work/config/qbsocks"

# With find_package, as examples/CMakeLists.txt does it.
"$cmake" -S "$examples" -B "$work/example-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_C_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$work/example-configure.log"
"$cmake" --build "$work/example-build" >"$work/example-build.log"

# With pkg-config.
read -r -a pc_cflags <<<"$(pkg-config --cflags qbsocks32)"
read -r -a pc_libs <<<"$(pkg-config --libs qbsocks32)"
read -r -a extra_cxxflags <<<"$cxxflags"
read -r -a extra_ldflags <<<"$ldflags"
"$cxx" -std=c++17 -Wall -Wextra -Werror "${extra_cxxflags[@]}" "${pc_cflags[@]}" \
  "$examples/qbsocks_request.cpp" -o "$work/qbsocks_request-pc" \
  "${extra_ldflags[@]}" "${pc_libs[@]}" -Wl,-rpath,"$libdir"
read -r -a c_flags <<<"$(pkg-config --cflags --libs qbsocks)"
cc -Wall -Wextra -Werror "${extra_cxxflags[@]}" "$examples/qbsocks_request_c.c" -o "$work/qbsocks_request_c-pc" \
  "${c_flags[@]}" -pthread "${extra_ldflags[@]}" -Wl,-rpath,"$libdir"
# docs/api.md's whole programs of the connect forms compile and link as they stand.
rm -f "$work"/api-*.c
awk -v out="$work/api-" '/^### /{section = $0 == "### Connects that no thread waits for"}
  section && /^```c$/{block = ""; inside = 1; next}
  inside && /^```$/{inside = 0; if (block ~ /int main/) print block >(out (++n) ".c")}
  inside {block = block $0 "\n"}' "$examples/../docs/api.md"
for n in 1 2; do
  cc -Wall -Wextra -Werror "${extra_cxxflags[@]}" "$work/api-$n.c" -o "$work/api-$n" "${c_flags[@]}" -pthread "${extra_ldflags[@]}"
done

# An echo target on a free loopback port that closes once it has answered a
# line, as an HTTP/1.0 server does, and a proxy that never answers, which
# says "held" once a client's first three bytes (a SOCKS5 greeting) are in;
# a port that refuses (bound, not listening); the first line is the three
# ports, printed once they listen.
coproc ECHO {
  exec python3 -u -c '
import socket, threading
server, silent = socket.socket(), socket.create_server(("127.0.0.1", 0))
server.bind(("127.0.0.1", 0))
refusing = socket.socket()
refusing.bind(("127.0.0.1", 0))
server.listen(8)
print(server.getsockname()[1], silent.getsockname()[1], refusing.getsockname()[1], flush=True)
def hold():
    held = []
    while True:
        conn, _ = silent.accept()
        held.append(conn)
        conn.recv(3, socket.MSG_WAITALL)
        print("held", flush=True)
threading.Thread(target=hold, daemon=True).start()
def echo(conn):
    with conn:
        while True:
            data = conn.recv(4096)
            if not data:
                return
            conn.sendall(data)
            if data.endswith(b"\n"): return
while True:
    conn, _ = server.accept()
    threading.Thread(target=echo, args=(conn,), daemon=True).start()
'
}
echo_pid=$ECHO_PID
trap 'kill "$echo_pid" 2>/dev/null || true' EXIT
read -r -t 30 port silent_port refusing_port <&"${ECHO[0]}"

# Directly (version 0 turns the proxy off), then through each proxy that
# linux_servers.py starts, with the settings as regedit exports them. A host
# that half-closes before the answer is in loses it through microsocks.
export XDG_CONFIG_HOME=$work/config
write_settings() {  # VERSION [PORT [USER PASSWORD]]
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\Proxy]
"ProxyEnable"=dword:00000001\n"SocksServer"="127.0.0.1"\n"SocksPort"=dword:%08x\n"SocksVersion"=dword:%08x
"UserName"="%s"\n"Password"="%s"\n' "${2:-0}" "$1" "${3:-}" "${4:-}" >"$XDG_CONFIG_HOME/qbsocks/user.reg"
}
request="hello from a host built against the installed QBSocks32"
status=0
for path in 0 "4 ${QBSOCKS_DANTE_PORT:?run under linux_servers.py}" "5 $QBSOCKS_DANTE_PORT" \
    "5 $QBSOCKS_MICROSOCKS_PORT" "5 $QBSOCKS_MICROSOCKS_AUTH_PORT $QBSOCKS_MICROSOCKS_USER $QBSOCKS_MICROSOCKS_PASSWORD"; do
  read -r version proxy user password <<<"$path"
  write_settings "$version" "${proxy:-}" "${user:-}" "${password:-}"
  for program in "$work"/example-build/qbsocks_{request,request_c,connect_poll} "$work"/qbsocks_request{,_c}-pc; do
    answer=$("$program" 127.0.0.1 "$port" "$request"$'\n') || true
    [[ "$answer" == "$request" ]] || { echo "FAIL: $program (SOCKS$version ${proxy:-}): '$answer'" >&2; status=1; }
  done
done
# The C++ example's last error after a failed Connect on the proxy path: a
# target the proxy found closed (its refusal as the system's error) and a
# proxy that refuses the connection both say 10061, never 10035.
for proxy in "$QBSOCKS_DANTE_PORT" "$refusing_port"; do
  write_settings 5 "$proxy"
  answer=$("$work/example-build/qbsocks_request" 127.0.0.1 "$refusing_port" 2>&1) && status=1
  [[ "$answer" == "cannot reach 127.0.0.1:$refusing_port (error 10061)" ]] ||
    { echo "FAIL: the C++ example through $proxy: '$answer'" >&2; status=1; }
done
# The C example against the proxy that never answers: SIGTERM (as Ctrl+C)
# once its greeting is in cancels the connect from the signal's thread;
# -t 300 bounds it. Each prints the facts.
write_settings 5 "$silent_port"
"$work/example-build/qbsocks_request_c" 127.0.0.1 "$port" 2>"$work/cancelled.err" &
example_pid=$!
read -r -t 30 _ <&"${ECHO[0]}" && kill -TERM "$example_pid"
wait "$example_pid" && status=1
grep -q "result 9, step 4 (the proxy's choice of method), cause 9 (cancelled)" "$work/cancelled.err" ||
  { echo "FAIL: the C example, cancelled: $(cat "$work/cancelled.err")" >&2; status=1; }
"$work/example-build/qbsocks_request_c" -t 300 127.0.0.1 "$port" 2>"$work/timed-out.err" && status=1
grep -q "result 7, .*cause 8 (timed out)" "$work/timed-out.err" ||
  { echo "FAIL: the C example, bounded: $(cat "$work/timed-out.err")" >&2; status=1; }
# The connect forms' examples: the poll loop's bound with the socket silent,
# and callbacks of connects at once, each outcome its own (the reason aside).
answer=$("$work/example-build/qbsocks_connect_poll" -t 300 127.0.0.1 "$port" 2>&1) && status=1
[[ "$answer" == *"(result 7, step 4, cause 8)" ]] || { echo "FAIL: the poll example, bounded: '$answer'" >&2; status=1; }
expect_callbacks() {  # VERSION PROXY_PORT MS PORT=OUTCOME...: a connect to 127.0.0.1:PORT each, ending so
  local targets=() expected="" row
  for row in "${@:4}"; do targets+=("127.0.0.1:${row%%=*}") expected+="127.0.0.1:${row%%=*}: ${row#*=}"$'\n'; done
  write_settings "$1" "$2"
  answer=$("$work/example-build/qbsocks_connect_async" -t "$3" "${targets[@]}" 2>&1 | sed 's/\(cause [0-9]*\): .*/\1/') || true
  [[ "$answer" == "${expected%$'\n'}" ]] || { echo "FAIL: the callback example (SOCKS$1): '$answer'" >&2; status=1; }
}
expect_callbacks 0 0 5000 "$port=connected" "$refusing_port=result 3, step 10, cause 1"
expect_callbacks 5 "$QBSOCKS_DANTE_PORT" 5000 "$port=connected" "$port=connected" "$port=connected" \
  "$refusing_port=result 2, step 8, cause 2"
expect_callbacks 5 "$silent_port" 300 "$port=result 7, step 4, cause 8" "$port=result 7, step 4, cause 8"
# The C interface, with pkg-config qbsocks, from a C program, with no
# settings (so direct); and its target in the CMake package.
rm -f "$XDG_CONFIG_HOME/qbsocks/user.reg"
c_include=$(pkg-config --cflags-only-I qbsocks | sed 's/^ *-I//; s/ *$//')  # no class-library header there
[[ -f $c_include/qbsocks.h && -z $(ls "$c_include" | grep -iE '^(afx.*|win32)\.h$') ]] ||
  { echo "FAIL: qbsocks.pc's folder $c_include: $(ls "$c_include" | tr '\n' ' ')" >&2; status=1; }
printf '%s\n' '#include <qbsocks.h>' '#include <stdio.h>' \
  'int main(void) { char r[64]; qbsocks_route(r, sizeof r); printf("%s %s", qbsocks_version(), r); return 0; }' |
  cc -x c -Wall -Werror "${extra_cxxflags[@]}" - "${c_flags[@]}" "${extra_ldflags[@]}" -Wl,-rpath,"$libdir" -o "$work/qbsocks_c"
[[ "$("$work/qbsocks_c")" == "$release direct" ]] || { echo "FAIL: the C program said '$("$work/qbsocks_c")'" >&2; status=1; }
grep -q 'QBSocks32::qbsocks' "$libdir"/cmake/QBSocks32/QBSocks32Targets.cmake ||
  { echo "FAIL: the CMake package has no QBSocks32::qbsocks" >&2; status=1; }
exit $status
