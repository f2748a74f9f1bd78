#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12, and
# any further Debian packages named as arguments (bench/setup.sh names its
# own). Run as root; does nothing when everything is already there.
#
#   setup.sh [--demo] [PACKAGE...]
#
# --demo installs only what scripts/demo.sh uses: a compiler, CMake, Ninja,
# Python and the two SOCKS servers (no test framework, no Windows
# toolchains, no Wine). apt's own output goes to build/setup-apt.log.
#
# Every package is required but one: 32-bit Wine's loader (wine32:i386).
# It is asked for only where the kernel runs 32-bit programs, and when apt
# cannot install it (a mirror whose i386 index is out of step) the install
# goes on without it and says why; its tests are then skipped. An index
# that apt cannot fetch does not stop the install either. What was left
# out is also written to build/setup-notes.txt for scripts/test.sh's
# summary.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-steps.sh
setup_main "$@"
