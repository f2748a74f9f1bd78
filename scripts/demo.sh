#!/usr/bin/env bash
# The end-to-end demo: builds the library and shows it reaching a local
# target directly and through local SOCKS4 and SOCKS5 proxies.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default -R 'Interop' --output-on-failure
