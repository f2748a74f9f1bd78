#!/usr/bin/env bash
# `cmake --install` into a fresh prefix, then the example host built
# against that prefix and run (tests/support/example_host.sh), with the
# proxies of tests/support/linux_servers.py around it.
#   install_example.sh CMAKE BUILD_DIR WORK_DIR CXX CXXFLAGS LDFLAGS
set -euo pipefail
cmake=$1 build=$2 work=$3 cxx=$4 cxxflags=$5 ldflags=$6

rm -rf "$work"
mkdir -p "$work"
"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log"
exec python3 "$(dirname "$0")/../support/linux_servers.py" \
  bash "$(dirname "$0")/../support/example_host.sh" "$work/prefix" "$work" \
  "$cmake" "$cxx" "$cxxflags" "$ldflags"
