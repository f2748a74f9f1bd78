#!/usr/bin/env bash
# Installs what the benchmark needs on Debian 12: what scripts/setup.sh
# installs, gnuplot (without X) to draw the latency distributions, the two
# proxy commands qbsocks-cat is measured beside (connect-proxy, ncat) and
# the two SOCKS modules the Python binding is measured beside (python-socks,
# PySocks; python-socks's asyncio client, bench/python_many.py, needs
# async-timeout).
# Run as root; does nothing when it is all there already.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/setup.sh" gnuplot-nox connect-proxy ncat python3-python-socks python3-socks \
  python3-async-timeout
