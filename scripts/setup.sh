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
# It is asked for only where the kernel runs 32-bit programs. When apt
# cannot install it (a mirror whose i386 index is out of step), it is tried
# once more from the suites whose indexes answered, in apt sources and
# lists of its own under build/apt-own (the system's stay as they are),
# and never at the price of a removed package; failing that, the install
# goes on without it and says why, its tests are then skipped, and the
# i386 architecture goes again if this added it. An index that apt cannot
# fetch does not stop the install either. What was left out is also
# written to build/setup-notes.txt for scripts/test.sh's summary.
#
# A package counts as installed whatever is selected for it (held ones
# too). Of the services, only the sshd of an openssh-server installed in
# this run is switched off; one that was there before is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-steps.sh
setup_main "$@"
