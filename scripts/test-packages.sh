#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh), checks them with
# lintian, and tests them unpacked: the example host built against them
# alone and run, the tools and the manual pages (tests/packaging/).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/package.sh

debs=(build/package/debs/*.deb)
echo "== packages: lintian ${debs[*]##*/}"
# Fails on any error or warning; the one warning left is explained in
# packaging/README.md.
lintian --fail-on error,warning --suppress-tags maintscript-calls-ldconfig "${debs[@]}"

echo "== packages: unpacked, a host built against them and run; tools and manual pages"
bash tests/packaging/deb_host_test.sh build/package/debs build/package/test-host
bash tests/packaging/deb_tools_test.sh build/package/debs build/package/test-tools
