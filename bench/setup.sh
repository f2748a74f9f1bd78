#!/usr/bin/env bash
# Installs what the benchmark needs on Debian 12: what scripts/setup.sh
# installs, and gnuplot (without X) to draw the latency distributions.
# Run as root; does nothing when it is all there already.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/setup.sh" gnuplot-nox
