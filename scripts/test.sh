#!/usr/bin/env bash
# Runs every test: the relative links of README.md and docs/, the normal
# build, the ABI of its libraries against the published baselines, then
# the Debian packages with lintian and their tests
# (scripts/test-packages.sh), then the same suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, the concurrent and robustness tests under
# ThreadSanitizer, then the libFuzzer harnesses for a bounded time
# (scripts/fuzz.sh), then QBSocks32.dll for Windows with its tests under
# Wine (scripts/test-windows.sh), and the Windows kit made from it and
# checked.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
python3 scripts/check-doc-links.py

run_preset() {
  local preset=$1
  echo "== ${preset}: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
}

run_preset default
# ctest counts the C# binding's test as skipped without mono; say why here.
command -v mcs >/dev/null && command -v mono >/dev/null ||
  echo "== SKIPPED: the C# binding's test (c_api_dotnet): mono is not installed (scripts/setup.sh installs it)"
bash tests/packaging/abi_check.sh build/default
bash scripts/test-packages.sh
run_preset asan
run_preset tsan
bash scripts/fuzz.sh
bash scripts/test-windows.sh
bash scripts/windows-kit.sh
bash tests/packaging/windows_kit_test.sh build/windows-kit/QBSocks32-*-windows.zip build/windows-kit/test
