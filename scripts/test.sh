#!/usr/bin/env bash
# Runs every test: scripts/setup.sh's own test and the install, the
# relative links of README.md and docs/, the normal build, the ABI of its
# libraries against the published baselines, then the Debian packages with
# lintian and their tests (scripts/test-packages.sh), then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrent and
# robustness tests under ThreadSanitizer, then the libFuzzer harnesses for
# a bounded time (scripts/fuzz.sh), then QBSocks32.dll for Windows with its
# tests under Wine (scripts/test-windows.sh), and the Windows kit made from
# it and checked. Ends with a summary of what ran and what was skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/summary.sh

summary_start
trap 'summary_print $?' EXIT

summary_begin "setup: its decisions against a fake apt, then the install"
bash tests/packaging/setup_test.sh
bash scripts/setup.sh
# The scripts below call setup.sh too; once is enough.
export QBSOCKS_SETUP_DONE=1
summary_add "setup: RAN its own test and the install"
python3 scripts/check-doc-links.py

run_preset() {  # PRESET WHAT
  summary_begin "$1: configure, build, test"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  summary_ctest "$1 ($2)" --preset "$1"
}

run_preset default "the whole suite"
# ctest counts the C# binding's test as skipped without mono; say why here.
command -v mcs >/dev/null && command -v mono >/dev/null ||
  summary_add "SKIPPED: the C# binding's test (c_api_dotnet): mono is not installed (scripts/setup.sh installs it)"
summary_begin "abi: the Linux libraries against their baselines"
bash tests/packaging/abi_check.sh build/default
summary_add "abi: RAN the Linux libraries' check against their baselines"
summary_begin "packages: built, lintian, a host and the tools from them"
bash scripts/test-packages.sh
summary_add "packages: RAN lintian and the tests of the unpacked packages"
run_preset asan "AddressSanitizer, UndefinedBehaviorSanitizer"
run_preset tsan "ThreadSanitizer"
summary_begin "fuzz: each harness for ${FUZZ_SECONDS:-60} s"
bash scripts/fuzz.sh
summary_add "fuzz: RAN each harness for ${FUZZ_SECONDS:-60} s without a finding"
summary_begin "windows: the four Windows builds and their tests under Wine"
bash scripts/test-windows.sh
summary_begin "windows kit: made and checked"
bash scripts/windows-kit.sh
bash tests/packaging/windows_kit_test.sh build/windows-kit/QBSocks32-*-windows.zip build/windows-kit/test
summary_add "windows kit: RAN its check ($(basename build/windows-kit/QBSocks32-*-windows.zip))"
