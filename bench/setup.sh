#!/usr/bin/env bash
# Installs what the benchmark needs beyond scripts/setup.sh on Debian 12:
# gnuplot (without X) to draw the latency distributions. Run as root; does
# nothing when it is already there.
set -euo pipefail

packages=(gnuplot-nox)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "bench/setup: missing packages: ${missing[*]} (run this script as root to install them)" >&2
    exit 1
  fi
  echo "bench/setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
