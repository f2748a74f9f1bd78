#!/usr/bin/env bash
# Runs every test: the normal build, then the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the libFuzzer
# harnesses for a bounded time (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

run_preset() {
  local preset=$1
  echo "== ${preset}: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
}

run_preset default
run_preset asan
bash scripts/fuzz.sh
