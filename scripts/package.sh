#!/usr/bin/env bash
# Builds the Debian packages into build/package/debs: libqbafx1,
# libqbsocks32-1, libqbsocks1, libqbsocks32-dev, qbsocks32-tools and python3-qbsocks
# (packaging/QBSocks32Packaging.cmake says what each holds). The build uses
# Debian's own compiler and linker flags (dpkg-buildflags, with all
# hardening), as a package built by Debian's tools would.
set -euo pipefail
cd "$(dirname "$0")/.."

eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake --preset package \
  -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" \
  -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build --preset package -j 2
rm -rf build/package/debs
cpack --preset package
