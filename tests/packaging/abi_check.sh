#!/usr/bin/env bash
# The Linux libraries keep the ABI they were published with: each is
# compared with its baseline in packaging/abi, written by abidw from a
# release (libqbafx.so.1's and libQBSocks32.so.1's from 1.0.0.1;
# libqbsocks.so.1's, the C interface's, from 1.3.0, which added the
# caller-driven connect (qbsocks_connect_start, _poll, _finish) to 1.2.0's).
# Symbols added since pass; any other change, a removed symbol or a changed
# type or layout, fails with abidiff's report.
#   abi_check.sh BUILD_DIR            check the built libraries
#   abi_check.sh BUILD_DIR --rebase   write the baselines from them (a new
#                                     release's ABI, on purpose only)
set -euo pipefail
build=$(realpath "$1") mode=${2:-check}
repo=$(cd "$(dirname "$0")/../.." && pwd)
abi=$repo/packaging/abi
suppressions=$abi/internal.suppr
headers=(--headers-dir "$repo/platform/include" --headers-dir "$repo/proxy_socket"
  --headers-dir "$repo/module" --headers-dir "$repo/include")

status=0
for library in platform/libqbafx.so.1 module/libQBSocks32.so.1 capi/libqbsocks.so.1; do
  baseline=$abi/$(basename "$library").abi
  if [[ $mode == --rebase ]]; then
    abidw --no-corpus-path --no-comp-dir-path --no-show-locs --drop-private-types \
      --suppressions "$suppressions" "${headers[@]}" --out-file "$baseline" "$build/$library"
    echo "abi_check: wrote $baseline"
    continue
  fi
  if abidiff --no-added-syms --suppressions "$suppressions" "$baseline" "$build/$library"; then
    echo "abi_check: $(basename "$library") keeps the ABI of its baseline"
  else
    echo "abi_check: FAILED: $(basename "$library") changed the ABI of $(basename "$baseline") (report above)" >&2
    status=1
  fi
done
exit $status
