#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12, and
# any further Debian packages named as arguments (bench/setup.sh names its
# own). Run as root; does nothing when everything is already there.
set -euo pipefail

packages=("$@"
  g++ clang cmake ninja-build pkg-config binutils
  libgtest-dev libgmock-dev googletest libbenchmark-dev libclang-rt-14-dev
  libcurl4-openssl-dev
  dante-server microsocks
  python3 procps
)

# The Debian packages (scripts/test-packages.sh): the manual pages' source
# is scdoc; CPack calls dpkg-shlibdeps and file; lintian checks the
# packages and man renders their pages. The Windows kit is a zip.
packages+=(scdoc dpkg-dev file lintian man-db zip unzip)
# The ABI check of the Linux libraries against their baselines
# (tests/packaging/abi_check.sh): abidiff.
packages+=(abigail-tools)

# The Windows build (scripts/test-windows.sh): MinGW-w64 for i686, and Wine
# with its 32-bit loader, which comes from the i386 architecture. Where the
# kernel runs no 32-bit programs that loader cannot start; the tests then
# run as an x86_64 build under 64-bit Wine, hence MinGW-w64 for x86_64 and
# wine64 as well.
packages+=(g++-mingw-w64-i686-posix mingw-w64-tools wine wine32:i386)
packages+=(g++-mingw-w64-x86-64-posix wine64)
# The MSVC-ABI flavour (windows-msvc preset): clang-cl (from clang), lld-link
# and the LLVM tools llvm-rc, llvm-dlltool, llvm-objdump, llvm-readobj; it
# uses MinGW-w64's headers and import libraries from the i686 package above.
packages+=(lld llvm)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: the i386 architecture is not enabled (run this script as root to enable it)" >&2
    exit 1
  fi
  echo "setup: enabling the i386 architecture (for wine32)"
  dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages: ${missing[*]} (run this script as root to install them)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
