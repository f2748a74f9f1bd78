#!/usr/bin/env bash
# Installs the library's package (component QBSocks32) into a fresh prefix, builds the example host against
# that install (with find_package, and once more with pkg-config), and runs
# both against an echo target on 127.0.0.1: the answer is the request.
#   install_example.sh CMAKE BUILD_DIR EXAMPLES_DIR WORK_DIR CXX CXXFLAGS LDFLAGS
set -euo pipefail
cmake=$1 build=$2 examples=$3 work=$4 cxx=$5 cxxflags=$6 ldflags=$7

rm -rf "$work"
mkdir -p "$work/config"
prefix=$work/prefix

"$cmake" --install "$build" --component QBSocks32 --prefix "$prefix" >"$work/install.log"

missing=0
for f in include/qbsocks32/CSocks.h include/qbsocks32/QBSocks32.h include/qbsocks32/afxsock.h \
         include/qbsocks32/afxdll.h include/qbsocks32/win32.h \
         lib/libQBSocks32.so lib/libQBSocks32.so.1 lib/libQBSocks32.so.1.0.0.1 \
         lib/libqbafx.so lib/libqbafx.so.1 \
         lib/cmake/QBSocks32/QBSocks32Config.cmake lib/cmake/QBSocks32/QBSocks32ConfigVersion.cmake \
         lib/pkgconfig/qbsocks32.pc; do
  [[ -e "$prefix/$f" ]] || { echo "FAIL: the install lacks $f" >&2; missing=1; }
done
((missing == 0)) || exit 1

# With find_package, as examples/CMakeLists.txt does it.
"$cmake" -S "$examples" -B "$work/example-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$work/example-configure.log"
"$cmake" --build "$work/example-build" >"$work/example-build.log"

# With pkg-config.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a pc_cflags <<<"$(pkg-config --cflags qbsocks32)"
read -r -a pc_libs <<<"$(pkg-config --libs qbsocks32)"
read -r -a extra_cxxflags <<<"$cxxflags"
read -r -a extra_ldflags <<<"$ldflags"
"$cxx" -std=c++17 -Wall -Wextra -Werror "${extra_cxxflags[@]}" "${pc_cflags[@]}" \
  "$examples/qbsocks_request.cpp" -o "$work/qbsocks_request-pc" \
  "${extra_ldflags[@]}" "${pc_libs[@]}" -Wl,-rpath,"$prefix/lib"

# An echo target on a free loopback port; its first line is the port,
# printed once it listens.
coproc ECHO {
  exec python3 -u -c '
import socket, threading
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(8)
print(server.getsockname()[1], flush=True)
def echo(conn):
    with conn:
        while True:
            data = conn.recv(4096)
            if not data:
                return
            conn.sendall(data)
while True:
    conn, _ = server.accept()
    threading.Thread(target=echo, args=(conn,), daemon=True).start()
'
}
echo_pid=$ECHO_PID
trap 'kill "$echo_pid" 2>/dev/null || true' EXIT
read -r -t 30 port <&"${ECHO[0]}"

# No settings in this folder: the proxy is off and the connect is direct.
export XDG_CONFIG_HOME=$work/config
request="hello from a host built against the installed QBSocks32"
status=0
for program in "$work/example-build/qbsocks_request" "$work/qbsocks_request-pc"; do
  answer=$("$program" 127.0.0.1 "$port" "$request")
  if [[ "$answer" != "$request" ]]; then
    echo "FAIL: $program answered '$answer'" >&2
    status=1
  fi
done
exit $status
