#!/usr/bin/env bash
# The end-to-end demo, on this machine alone: builds QBSocks32 and its
# tools, starts a local echo target and local SOCKS proxies from Debian's
# packages (Dante for SOCKS4, microsocks for SOCKS5 without and with a
# password), all on free 127.0.0.1 ports, through the tests' launcher
# (tests/support/linux_servers.py, which stops them at the end), writes the
# proxy settings with qbsocks-reg into a temporary settings hive (never the
# user's own), and shows qbsocks-cat reaching the target directly, through
# each proxy, and failing on a refused password with the library's reason.
# Installs only what it uses (scripts/setup.sh --demo). Cleans up after
# itself; exits non-zero when any step does not behave as expected.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '\n==> %s\n' "$*"; }
ok() { printf '    ok: %s\n' "$*"; }
fail() { printf '\ndemo: FAILED: %s\n' "$*" >&2; exit 1; }

if [[ ${1:-} != --with-servers ]]; then
  bash scripts/setup.sh --demo
  say "Building the library and the tools (cmake --preset demo)"
  cmake --preset demo >/dev/null
  cmake --build --preset demo
  say "Starting the echo target and the proxies on free loopback ports"
  # The tests' own launcher starts them, runs the rest of the demo with
  # their ports in the environment, and stops them when it ends.
  exec python3 tests/support/linux_servers.py bash scripts/demo.sh --with-servers
fi
REG=$PWD/build/demo/tools/qbsocks-reg
CAT=$PWD/build/demo/tools/qbsocks-cat
ECHO_PORT=$QBSOCKS_ECHO_PORT DANTE_PORT=$QBSOCKS_DANTE_PORT MICRO_PORT=$QBSOCKS_MICROSOCKS_PORT
AUTH_PORT=$QBSOCKS_MICROSOCKS_AUTH_PORT PROXY_USER=$QBSOCKS_MICROSOCKS_USER
PROXY_PASSWORD=$QBSOCKS_MICROSOCKS_PASSWORD
ok "echo target listens on 127.0.0.1:$ECHO_PORT"
ok "Dante (SOCKS4/5) listens on 127.0.0.1:$DANTE_PORT"
ok "microsocks (SOCKS5) listens on 127.0.0.1:$MICRO_PORT"
ok "microsocks (SOCKS5, user $PROXY_USER) listens on 127.0.0.1:$AUTH_PORT"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qbsocks-demo-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# The settings live in a hive of the demo's own.
export XDG_CONFIG_HOME=$WORK/config

KEY='HKCU\Software\Quillbrook\Game\Share\Proxy'
reg() {
  printf '    $ qbsocks-reg %s\n' "$*"
  "$REG" "$@" >/dev/null || fail "qbsocks-reg $*"
}
# The server goes in before ProxyEnable, so that qbsocks-reg never sees the
# proxy on with no server (it warns then: every connect would go direct).
set_proxy() {  # ENABLE [VERSION PORT [USER PASSWORD]]
  if (($# > 1)); then
    reg add "$KEY" /v SocksServer /t REG_SZ /d 127.0.0.1 /f
    reg add "$KEY" /v SocksVersion /t REG_DWORD /d "$2" /f
    reg add "$KEY" /v SocksPort /t REG_DWORD /d "$3" /f
    reg add "$KEY" /v UserName /t REG_SZ /d "${4:-}" /f
    # The password from standard input, never in the arguments (ps, history).
    reg add "$KEY" /v Password /t REG_SZ /d - /f <<<"${5:-}"
  fi
  reg add "$KEY" /v ProxyEnable /t REG_DWORD /d "$1" /f
}

# Sends one line through qbsocks-cat and expects it back. Its input is held
# open until the reply is in, then ended: microsocks drops a connection at
# the first end of stream in either direction, as many relays do.
exchange() {
  local line=$1 path=$2 reply="" status=0
  coproc CATPROC { exec "$CAT" -v 127.0.0.1 "$ECHO_PORT" 2>"$WORK/cat.err"; }
  local pid=$CATPROC_PID to=${CATPROC[1]} from=${CATPROC[0]}
  printf '    $ echo %q | qbsocks-cat -v 127.0.0.1 %s\n' "$line" "$ECHO_PORT"
  printf '%s\n' "$line" >&"$to"
  IFS= read -r -t 10 reply <&"$from" || true
  exec {to}>&-
  wait "$pid" || status=$?
  sed 's/^/    /' "$WORK/cat.err"
  printf '    reply: %s\n' "$reply"
  ((status == 0)) || fail "qbsocks-cat exited with $status"
  [[ $reply == "$line" ]] || fail "the reply was \"$reply\", not \"$line\""
  grep -q "($path)" "$WORK/cat.err" || fail "qbsocks-cat did not name the path \"$path\""
  ok "the target answered through: $path"
}

say "1. Direct: ProxyEnable 0"
set_proxy 0
exchange "hello, directly" "direct"

say "2. Through SOCKS4 (Dante)"
set_proxy 1 4 "$DANTE_PORT"
exchange "hello through SOCKS4" "SOCKS4 proxy 127.0.0.1:$DANTE_PORT"

say "3. Through SOCKS5 (microsocks)"
set_proxy 1 5 "$MICRO_PORT"
exchange "hello through SOCKS5" "SOCKS5 proxy 127.0.0.1:$MICRO_PORT"

say "4. Through SOCKS5 with user name and password (microsocks -u $PROXY_USER)"
set_proxy 1 5 "$AUTH_PORT" "$PROXY_USER" "$PROXY_PASSWORD"
exchange "hello through SOCKS5 as $PROXY_USER" "SOCKS5 proxy 127.0.0.1:$AUTH_PORT as $PROXY_USER"

say "5. A refused password"
reg add "$KEY" /v Password /t REG_SZ /d not-the-password /f
printf '    $ qbsocks-cat 127.0.0.1 %s </dev/null\n' "$ECHO_PORT"
status=0
"$CAT" 127.0.0.1 "$ECHO_PORT" </dev/null >"$WORK/refused.out" 2>"$WORK/refused.err" || status=$?
sed 's/^/    /' "$WORK/refused.err"
((status == 1)) || fail "qbsocks-cat exited with $status, not 1"
[[ ! -s $WORK/refused.out ]] || fail "qbsocks-cat printed data although it could not connect"
reason="Username/password subnegotition failure"  # the library's own words, spelling included
expected="qbsocks-cat: cannot connect to 127.0.0.1:$ECHO_PORT (SOCKS5 proxy 127.0.0.1:$AUTH_PORT as $PROXY_USER): $reason"
[[ $(cat "$WORK/refused.err") == "$expected" ]] || fail "the failure line is not: $expected"
ok "exit status 1, one line naming the proxy tried and the library's reason"

say "The settings as qbsocks-reg shows them"
"$REG" query "$KEY" | sed 's/^/    /'

printf '\ndemo: every step behaved as expected\n'
