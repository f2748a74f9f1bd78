# The decisions of scripts/setup.sh, as functions (sourced), so that
# tests/packaging/setup_test.sh can drive them with a fake apt on PATH.
# Runs from the top of the tree.
source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

log=build/setup-apt.log
notes=build/setup-notes.txt
wine32_package=wine32:i386
# Tries of `apt-get update`, and the pause between two.
update_tries=${QBSOCKS_APT_UPDATE_TRIES:-3}
update_pause=${QBSOCKS_APT_UPDATE_PAUSE:-10}

# What the demo uses: the library and its tools built (the demo preset
# leaves the tests and manual pages out), a local echo target (python3),
# Dante and microsocks.
demo_packages=(g++ cmake ninja-build binutils python3 dante-server microsocks)

full_packages=(
  clang pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev libclang-rt-14-dev
  libcurl4-openssl-dev
  procps
  # The Debian packages (scripts/test-packages.sh): the manual pages'
  # source is scdoc; CPack calls dpkg-shlibdeps and file; lintian checks the
  # packages and man renders their pages. The Windows kit is a zip.
  scdoc dpkg-dev file lintian man-db zip unzip
  # The protections of the kit's binaries (tests/packaging/check_hardening.py).
  python3-pefile
  # The Python binding's test (tests/module/c_api_test.py): requests
  # fetching through the user's proxy by qbsocks.proxy_url(); PySocks is
  # what requests needs for socks URLs.
  python3-requests python3-socks
  # The C# binding's test (tests/module/c_api_dotnet.sh): mono's C#
  # compiler and runtime, to compile QBSocks.cs and run its declarations.
  mono-mcs mono-runtime
  # The ABI check of the Linux libraries against their baselines
  # (tests/packaging/abi_check.sh): abidiff.
  abigail-tools
  # ssh through qbsocks-cat -F (tests/tools/ssh_fdpass_test.py): ssh's
  # client and sshd, which the test starts on a free port of its own. The
  # system's own sshd (port 22), which the package would start, is not
  # wanted.
  openssh-client openssh-server
  # The Windows build (scripts/test-windows.sh): MinGW-w64 for i686 and
  # x86_64, and Wine. The i686 tests need 32-bit Wine as well (wine32:i386,
  # optional: see below); without it they are skipped and the x86_64 build's
  # tests run under 64-bit Wine.
  g++-mingw-w64-i686-posix mingw-w64-tools wine
  g++-mingw-w64-x86-64-posix wine64
  # The MSVC-ABI flavour (windows-msvc preset): clang-cl (from clang),
  # lld-link and the LLVM tools llvm-rc, llvm-dlltool, llvm-objdump,
  # llvm-readobj; it uses MinGW-w64's headers and import libraries from the
  # i686 package above.
  lld llvm
)

note() {  # TEXT: said now, and kept for the summary of scripts/test.sh
  echo "setup: $*"
  echo "$*" >>"$notes"
}

installed() {  # PACKAGE
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

apt() {  # apt-get ARGS, its output to the log; waits for another apt's lock
  DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@" >>"$log" 2>&1
}

# The index files that the last `apt-get update` in the log could not
# fetch, one a line.
failed_indexes() {
  sed -n '/^=== apt-get update/h; /^=== apt-get update/!H; ${x;p}' "$log" |
    sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' | sort -u
}

# Refreshes apt's lists, a few times if need be; when some index files
# still fail, says which and goes on with the lists apt has.
update_lists() {
  local try
  for ((try = 1; try <= update_tries; try++)); do
    echo "=== apt-get update (try $try)" >>"$log"
    apt update && return 0
    # A failed fetch leaves a warning in apt's output but no error exit.
    ((try < update_tries)) && sleep "$update_pause"
  done
  local failed
  failed=$(failed_indexes | paste -sd ' ')
  note "apt-get update failed $update_tries times${failed:+ on $failed}; installing from the lists apt has (the whole output is in $log)"
}

# The first reason apt gave in the log's last run, on one line.
apt_reason() {
  sed -n '/^=== apt-get install/h; /^=== apt-get install/!H; ${x;p}' "$log" |
    grep -m1 -E '^E: |: Depends: ' | sed 's/^E: //; s/^ *//'
}

# The packages that apt said it could not install, from the log's last run.
uninstallable() {  # PACKAGE...
  local out
  out=$(sed -n '/^=== apt-get install/h; /^=== apt-get install/!H; ${x;p}' "$log")
  local p named=()
  for p in "$@"; do
    grep -q -F -e "Unable to locate package $p" -e "Package '$p' has no installation candidate" \
      -e " $p : Depends" -e "Couldn't find any package by glob '$p'" <<<"$out" && named+=("$p")
  done
  ((${#named[@]})) || named=("$@")  # apt refused the list without naming one
  echo "${named[*]}"
}

install_required() {  # PACKAGE...
  echo "=== apt-get install $*" >>"$log"
  apt install -y --no-install-recommends "$@" && return 0
  tail -n 20 "$log" >&2
  echo "setup: FAILED: apt could not install $(uninstallable "$@"): $(apt_reason); apt's whole output is in $log" >&2
  return 1
}

# 32-bit Wine, where the kernel can run it; its absence is said, not fatal.
install_wine32() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: enabling the i386 architecture (for $wine32_package)"
    dpkg --add-architecture i386
    update_lists
  fi
  echo "=== apt-get install $wine32_package" >>"$log"
  apt install -y --no-install-recommends "$wine32_package" && return 0
  note "32-bit Wine could not be installed: $(apt_reason); the i686 Windows tests are skipped (apt's whole output is in $log)"
  echo "32-bit Wine could not be installed: $(apt_reason)" >"$wine32_setup_note"
}

setup_main() {
  # scripts/test.sh has run this already for the scripts it calls.
  [[ ${QBSOCKS_SETUP_DONE:-0} != 1 ]] || return 0
  mkdir -p build
  : >"$notes"
  local demo_only=false
  if [[ ${1:-} == --demo ]]; then
    demo_only=true
    shift
  fi
  local packages=("$@" "${demo_packages[@]}")
  $demo_only || packages+=("${full_packages[@]}")

  local want_wine32=false
  if ! $demo_only && ! installed "$wine32_package"; then
    if kernel_runs_32bit; then
      want_wine32=true
    else
      echo "setup: $(wine32_absence): no i386 architecture, no $wine32_package; the i686 Windows tests are skipped"
    fi
  fi

  local missing=() p
  for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
  done
  ((${#missing[@]})) || $want_wine32 || return 0

  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages: ${missing[*]}$($want_wine32 && echo " $wine32_package") (run this script as root to install them)" >&2
    return 1
  fi
  : >"$log"
  rm -f "$wine32_setup_note"
  echo "setup: installing ${missing[*]}$($want_wine32 && echo " $wine32_package") (apt's output in $log)"
  update_lists
  if ((${#missing[@]})); then
    install_required "${missing[@]}" || return 1
  fi
  if [[ " ${missing[*]} " == *" openssh-server "* ]] && command -v systemctl >/dev/null; then
    systemctl disable --now ssh.service ssh.socket >>"$log" 2>&1 || true
  fi
  if $want_wine32; then
    install_wine32
  fi
  return 0
}
