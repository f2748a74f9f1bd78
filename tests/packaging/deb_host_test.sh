#!/usr/bin/env bash
# The example host built against the unpacked Debian packages alone, with
# CMake and with pkg-config, and run against an echo target, directly and
# through each proxy the tests start.
#   deb_host_test.sh DEB_DIR WORK_DIR
set -euo pipefail
deb_dir=$1 work=$(realpath -m "$2")
here=$(dirname "$0")
# shellcheck source=tests/packaging/unpack_debs.sh
source "$here/unpack_debs.sh"

rm -rf "$work"
mkdir -p "$work/root"
unpack_debs "$deb_dir" "$work/root"
python3 "$here/../support/linux_servers.py" \
  bash "$here/../support/example_host.sh" "$work/root/usr" "$work" cmake c++ "" ""
echo "deb_host_test: the example host built against the packages ran"
