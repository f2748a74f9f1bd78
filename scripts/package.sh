#!/usr/bin/env bash
# Builds the Debian packages into build/package/debs: libqbafx1,
# libqbsocks32-1, libqbsocks1, libqbsocks32-dev, qbsocks32-tools and python3-qbsocks
# (packaging/QBSocks32Packaging.cmake says what each holds). The build uses
# Debian's own compiler and linker flags (dpkg-buildflags, with all
# hardening), as a package built by Debian's tools would.
# And the Python wheels into build/package/wheels, each with the C interface
# inside (bindings/python/CMakeLists.txt): linux_x86_64 from that build, and
# win32 and win_amd64 with the qbsocks.dll of the windows-msvc and
# windows-msvc-x64 builds, the one the Windows kit ships (only that DLL
# and what it needs is built there).
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

rm -rf build/package/wheels
mkdir -p build/package/wheels
for preset in windows-msvc windows-msvc-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 --target python_wheel
done
version=$(sed -n 's/^project(QBSocks32 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for build_platform in package/linux_x86_64 windows-msvc/win32 windows-msvc-x64/win_amd64; do
  cp "build/${build_platform%/*}/bindings/python/qbsocks-$version-py3-none-${build_platform#*/}.whl" build/package/wheels/
done
ls build/package/wheels
