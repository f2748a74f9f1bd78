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
  # The Python binding's types (the python_mypy test): mypy --strict.
  python3-mypy
  # The Python bench's peer (bench/python_peers.py): python-socks's asyncio
  # client, which needs async-timeout.
  python3-python-socks python3-async-timeout
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

# By what is installed, whatever is selected for it: a held package
# ("hold ok installed") is as installed as any other.
installed() {  # PACKAGE
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == *" installed" ]]
}

i386_installed() {  # whether any i386 package is installed
  grep -q ' installed$' <<<"$(dpkg-query -W -f='${Status}\n' '*:i386' 2>/dev/null)"
}

systemd_runs() {  # not in most containers, nor in WSL without systemd
  [[ -d /run/systemd/system ]]
}

apt() {  # apt-get ARGS, its output to the log; waits for another apt's lock
  DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@" >>"$log" 2>&1
}

# The log from its last line that starts with "=== WHAT".
last_run() {  # WHAT
  sed -n "/^=== $1/h; /^=== $1/!H; \${x;p}" "$log"
}

# The index files that the last `apt-get update` in the log could not
# fetch, one a line.
failed_indexes() {
  last_run 'apt-get update' | sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' | sort -u
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
  last_run 'apt-get install' | grep -m1 -E '^E: |: Depends: ' | sed 's/^E: //; s/^ *//'
}

# The packages that apt said it could not install, from the log's last run.
uninstallable() {  # PACKAGE...
  local out
  out=$(last_run 'apt-get install')
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

# The sshd that openssh-server starts on port 22 is not wanted (the test
# starts one of its own), but only one that this run installed is switched
# off: an sshd that was there before may be how the machine is reached.
switch_off_new_sshd() {  # PACKAGES_INSTALLED_NOW...
  if [[ " $* " != *" openssh-server "* ]]; then
    if installed openssh-server; then
      echo "setup: the system's sshd is left as it is (openssh-server was installed before this run)"
    fi
    return 0
  fi
  if ! systemd_runs; then
    note "no systemd here: the sshd of openssh-server, installed now, was not switched off ('service ssh stop' stops it if it runs)"
    return 0
  fi
  local out status=0
  out=$(systemctl disable --now ssh.service ssh.socket 2>&1) || status=$?
  echo "$out" >>"$log"
  if ((status)); then
    out=${out##*$'\n'}
    note "systemctl could not switch off the sshd of openssh-server, installed now: ${out:-exit $status}"
  fi
}

# The second try of 32-bit Wine reads apt sources and lists of its own (the
# system's stay as they are): the system's sources, less the suites whose
# indexes failed.
apt_sources=${QBSOCKS_APT_SOURCES:-/etc/apt}
own_apt=build/apt-own
own_apt_options=(
  -o "Dir::Etc::sourcelist=$PWD/$own_apt/sources.list"
  -o "Dir::Etc::sourceparts=$PWD/$own_apt/sources.list.d"
  -o "Dir::State::Lists=$PWD/$own_apt/lists"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
)

# Writes the system's sources without the suites that FAILED (index URLs,
# one a line) names; fails when no suite is left.
write_answered_sources() {  # FAILED
  mkdir -p "$own_apt/sources.list.d" "$own_apt/lists/partial"
  local answered='function answered(uris, suite,   u, i, n) {
      n = split(uris, u, " ")
      for (i = 1; i <= n; i++) {
        sub(/\/+$/, "", u[i])
        if (index(failed "\n", "\n" u[i] "/dists/" suite "/")) return 0
      }
      return 1
    }'
  # One-line sources: "deb [options] URI SUITE COMPONENT...".
  cat "$apt_sources"/sources.list "$apt_sources"/sources.list.d/*.list 2>/dev/null |
    awk -v failed=$'\n'"$1" "$answered"'
      /^[ \t]*(#|$)/ { next }
      { line = $0; sub(/\[[^]]*\]/, "", line); split(line, w) }
      answered(w[2], w[3])' >"$own_apt/sources.list"
  # deb822 sources: each stanza keeps the suites that answered, if any.
  cat "$apt_sources"/sources.list.d/*.sources 2>/dev/null |
    awk -v failed=$'\n'"$1" "$answered"'
      BEGIN { RS = ""; ORS = "\n\n" }
      {
        n = split($0, line, "\n"); uris = ""; suites = ""; kept = ""
        for (i = 1; i <= n; i++) {
          if (tolower(line[i]) ~ /^uris:/) uris = substr(line[i], 6)
          if (tolower(line[i]) ~ /^suites:/) { suites = substr(line[i], 8); at = i }
        }
        m = split(suites, suite, " ")
        for (j = 1; j <= m; j++) if (answered(uris, suite[j])) kept = kept " " suite[j]
        if (kept == "") next
        line[at] = "Suites:" kept
        out = line[1]; for (i = 2; i <= n; i++) out = out "\n" line[i]
        print out
      }' >"$own_apt/sources.list.d/answered.sources"
  [[ -s $own_apt/sources.list || -s $own_apt/sources.list.d/answered.sources ]]
}

# apt cannot hold an i386 library at the version of its amd64 twin when the
# suite that updated the amd64 one failed its i386 index. From the suites
# that answered, apt brings both twins to one version instead (a downgrade
# of the amd64 one where need be). Naming 64-bit Wine in the same call
# keeps it, and a plan that removes any package is not carried out. Says
# why it failed in second_try_failure.
second_try_failure=
install_wine32_from_answered_suites() {
  local failed dropped wanted=("$wine32_package" wine64 wine)
  failed=$(failed_indexes)
  dropped=$(sed -n 's|.*/dists/\([^/]*\)/.*|\1|p' <<<"$failed" | sort -u | paste -sd ' ')
  second_try_failure=
  # Every suite answered: the same lists would give the same answer.
  [[ -n $dropped ]] || return 1
  local from="without the suites whose indexes failed ($dropped)"
  if ! write_answered_sources "$failed"; then
    second_try_failure="no other suite to try it from"
    return 1
  fi
  echo "setup: trying $wine32_package again $from, with apt lists of its own in $own_apt"
  echo "=== apt-get update (own lists)" >>"$log"
  apt "${own_apt_options[@]}" update || true # what it lacks, the install says
  echo "=== apt-get install ${wanted[*]} (own lists, simulated)" >>"$log"
  local removed
  if apt "${own_apt_options[@]}" install -s --allow-downgrades --no-install-recommends "${wanted[@]}"; then
    removed=$(last_run 'apt-get install' | sed -n 's/^Remv \([^ ]*\).*/\1/p' | paste -sd ' ')
    if [[ -n $removed ]]; then
      second_try_failure="nor $from: apt would remove $removed"
      return 1
    fi
    echo "=== apt-get install ${wanted[*]} (own lists)" >>"$log"
    if apt "${own_apt_options[@]}" install -y --no-remove --allow-downgrades --no-install-recommends \
      "${wanted[@]}"; then
      echo "setup: $wine32_package is installed $from; the amd64 libraries it shares are at its versions"
      return 0
    fi
  fi
  second_try_failure="nor $from: $(apt_reason)"
  return 1
}

# 32-bit Wine, where the kernel can run it; its absence is said, not fatal.
# The i386 architecture, when this added it, goes again if nothing was
# installed for it: else every later `apt-get update` fetches its indexes.
install_wine32() {
  local added_i386=false
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: enabling the i386 architecture (for $wine32_package)"
    dpkg --add-architecture i386
    added_i386=true
    update_lists
  fi
  echo "=== apt-get install $wine32_package" >>"$log"
  apt install -y --no-install-recommends "$wine32_package" && return 0
  local reason
  reason=$(apt_reason) || true # apt may stop without a reason
  install_wine32_from_answered_suites && return 0
  reason+=${second_try_failure:+; $second_try_failure}
  note "32-bit Wine could not be installed: $reason; the i686 Windows tests are skipped (apt's whole output is in $log)"
  echo "32-bit Wine could not be installed: $reason" >"$wine32_setup_note"
  if $added_i386 && ! i386_installed; then
    if dpkg --remove-architecture i386; then
      echo "setup: the i386 architecture is removed again (nothing was installed for it)"
    else
      note "the i386 architecture that this added could not be removed again (dpkg --remove-architecture i386 failed)"
    fi
  fi
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
  switch_off_new_sshd "${missing[@]}"
  if $want_wine32; then
    install_wine32
  fi
  return 0
}
