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
set -euo pipefail
cd "$(dirname "$0")/.."

demo_only=false
if [[ ${1:-} == --demo ]]; then
  demo_only=true
  shift
fi

# What the demo uses: the library and its tools built (the demo preset
# leaves the tests and manual pages out), a local echo target (python3),
# Dante and microsocks.
demo_packages=(g++ cmake ninja-build binutils python3 dante-server microsocks)

packages=("$@" "${demo_packages[@]}"
  clang pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev libclang-rt-14-dev
  libcurl4-openssl-dev
  procps
)

# The Debian packages (scripts/test-packages.sh): the manual pages' source
# is scdoc; CPack calls dpkg-shlibdeps and file; lintian checks the
# packages and man renders their pages. The Windows kit is a zip.
packages+=(scdoc dpkg-dev file lintian man-db zip unzip)
# The protections of the kit's binaries (tests/packaging/check_hardening.py).
packages+=(python3-pefile)
# The C# binding's test (tests/module/c_api_dotnet.sh): mono's C#
# compiler and runtime, to compile QBSocks.cs and run its declarations.
packages+=(mono-mcs mono-runtime)
# The ABI check of the Linux libraries against their baselines
# (tests/packaging/abi_check.sh): abidiff.
packages+=(abigail-tools)
# ssh through qbsocks-cat -F (tests/tools/ssh_fdpass_test.py): ssh's client
# and sshd, which the test starts on a free port of its own. The system's
# own sshd (port 22), which the package would start, is not wanted.
packages+=(openssh-client openssh-server)

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

if $demo_only; then
  packages=("$@" "${demo_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]} (run this script as root to install them)" >&2
  exit 1
fi
if [[ " ${missing[*]} " == *:i386\ * ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture (for wine32)"
  dpkg --add-architecture i386
fi

mkdir -p build
log=build/setup-apt.log
echo "setup: installing ${missing[*]} (apt's output in $log)"
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "setup: FAILED installing; apt's whole output is in $log" >&2
  exit 1
fi
if [[ " ${missing[*]} " == *" openssh-server "* ]] && command -v systemctl >/dev/null; then
  systemctl disable --now ssh.service ssh.socket >>"$log" 2>&1 || true
fi
