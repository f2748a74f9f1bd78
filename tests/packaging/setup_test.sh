#!/usr/bin/env bash
# scripts/setup.sh's decisions against a fake apt on PATH: a mirror whose
# index fails, a package apt cannot install, a kernel that runs no 32-bit
# programs, held packages, an sshd installed before, no systemd. Touches no
# real apt state and no real service; ends with the summary's last lines.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d) && [[ -d $work ]] || exit 1
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# dpkg-query and dpkg over a folder of installed packages (those of $HELD,
# commas between, held); apt-get that installs into it, logs its calls,
# fails the index $FAIL_INDEX, refuses any list that holds a package of
# $REFUSE (of $OWN_REFUSE when it reads the setup's own sources and lists)
# or of $HELD, and whose plan from its own lists removes $OWN_REMOVES.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
: "${STATE:?}"
p=${!#}
[[ $p != '*:i386' ]] || p=$(cd "$STATE/installed" && ls -- *:i386 2>/dev/null | head -n 1)
[[ -n $p && -e $STATE/installed/$p ]] || exit 0
[[ ,${HELD:-}, == *,$p,* ]] && echo 'hold ok installed' || echo 'install ok installed'
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
: "${STATE:?}"
case $1 in
  --print-foreign-architectures) cat "$STATE/arches" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$STATE/arches" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$STATE/arches" ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
: "${STATE:?}"
args=() own=0 sim=0 no_remove=0
while (($#)); do
  case $1 in
    -o) [[ $2 == Dir::Etc::source* || $2 == Dir::State::Lists=* ]] && ((own++)); shift ;;
    -s) sim=1 ;;
    --no-remove) no_remove=1 ;;
    -*) ;;
    *) args+=("$1") ;;
  esac
  shift
done
refuse=${REFUSE:-}
((own == 3)) && refuse=${OWN_REFUSE:-} && args+=("(own lists)")
((sim)) && args+=("(simulated)")
echo "${args[*]}" >>"$STATE/calls"
if [[ ${args[0]} == update ]]; then
  [[ -z ${FAIL_INDEX:-} ]] || ((own == 3)) && exit 0
  echo "E: Failed to fetch $FAIL_INDEX  File has unexpected size (7 != 9). Mirror sync in progress?"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
for p in "${args[@]:1}"; do
  if [[ " $refuse " == *" $p "* ]]; then
    printf 'The following packages have unmet dependencies:\n %s : Depends: zlib1g:i386\nE: Unable to correct problems, you have held broken packages.\n' "$p"
    exit 100
  elif [[ ,${HELD:-}, == *,$p,* ]]; then
    echo 'E: Held packages were changed and -y was used without --allow-change-held-packages.'
    exit 100
  fi
done
if ((own == 3)) && [[ -n ${OWN_REMOVES:-} ]]; then
  ((sim)) && echo "Remv $OWN_REMOVES [8.0~repack-4]" && exit 0
  ((no_remove)) && echo 'E: Packages need to be removed but remove is disabled.' && exit 100
  rm -f "$STATE/installed/$OWN_REMOVES"
fi
((sim)) && exit 0
for p in "${args[@]:1}"; do [[ $p == \(* ]] || touch "$STATE/installed/$p"; done
EOF
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
printf '#!/bin/sh\necho "$*" >>"${STATE:?}/systemctl"\nexit ${SYSTEMCTL_EXIT:-0}\n' >"$work/bin/systemctl"
chmod +x "$work/bin/"*

# The system's sources that the second try of 32-bit Wine starts from:
# deb822 and one-line, the failing suite in both.
mkdir -p "$work/apt/sources.list.d"
printf 'Types: deb\nURIs: http://deb.example/%s\nSuites: %s\nComponents: main\n\n' debian 'bookworm bookworm-updates' \
  debian-security bookworm-security >"$work/apt/sources.list.d/debian.sources"
printf '%s\n' '# one-line' 'deb http://deb.example/debian-security/ bookworm-security main' \
  'deb [arch=amd64,i386] http://deb.example/extra bookworm main' >"$work/apt/sources.list"

check() {  # WORD: a state that the row's run must leave
  local own=$STATE/top/build/apt-own
  case $1 in
    arch-i386) grep -qsx i386 "$STATE/arches" ;;
    no-arch-i386) ! grep -qsx i386 "$STATE/arches" ;;
    sshd-off) grep -qx 'disable --now ssh.service ssh.socket' "$STATE/systemctl" ;;
    sshd-untouched) [[ ! -e $STATE/systemctl ]] ;;
    own-lists) grep -qx 'install wine32:i386 wine64 wine (own lists)' "$STATE/calls" ;;
    own-sources) ! grep -rqs bookworm-security "$own"/sources* && grep -rqsx 'Suites: bookworm bookworm-updates' "$own" &&
      grep -qs 'deb.example/extra bookworm' "$own/sources.list" ;;
    installed=*) [[ -e $STATE/installed/${1#*=} ]] ;;
    missing=*) [[ ! -e $STATE/installed/${1#*=} ]] ;;
    *) false ;;
  esac
}

index=http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
# name | kernel runs 32-bit | failing index | refused packages | exit | in the output | in the notes | i386 asked for
#   | the fake's settings | states afterwards (check's words)
cases=(
  "mirror fails the i386 index|yes|$index|wine32:i386|0|32-bit Wine could not be installed: |failed 3 times on $index|yes|OWN_REFUSE=wine32:i386|no-arch-i386 own-sources"
  "kernel without 32-bit support|no|||0|the kernel runs no 32-bit programs||no||"
  "a required package refused|yes||g++|1|FAILED: apt could not install g++: ||no||"
  "everything installs|yes|||0|installing||yes||arch-i386 sshd-off installed=wine32:i386"
  "held and installed: installed, its sshd left alone|no|||0|the system's sshd is left as it is||no|HELD=openssh-server,g++|sshd-untouched"
  "sshd installed now, no systemd|no|||0|installing|no systemd here|no|SYSTEMD=no|sshd-untouched"
  "systemctl fails|no|||0|installing|systemctl could not switch off|no|SYSTEMCTL_EXIT=1|"
  "nothing installed for i386: architecture removed|yes||wine32:i386|0|the i386 architecture is removed||yes||no-arch-i386 missing=wine32:i386"
  "i386 added before this run: kept|yes||wine32:i386|0|32-bit Wine could not be installed: ||yes|ARCHES=i386|arch-i386"
  "kernel runs 32-bit, system lists refuse wine32, own lists give it|yes|$index|wine32:i386|0|wine32:i386 is installed without the suites whose indexes failed (bookworm-security)||yes||arch-i386 own-sources own-lists installed=wine32:i386"
  "own lists would remove wine64: not done|yes|$index|wine32:i386|0|apt would remove wine64|apt would remove wine64|yes|OWN_REMOVES=wine64|no-arch-i386 missing=wine32:i386"
)

status=0
for row in "${cases[@]}"; do
  IFS='|' read -r name runs32 fail_index refuse want_exit want_out want_note want_i386 settings states <<<"$row"
  export STATE=$work/state/${name// /_}
  mkdir -p "$STATE/installed" "$STATE/top"
  for setting in $settings; do
    case $setting in
      HELD=*) for p in ${setting//,/ }; do touch "$STATE/installed/${p#HELD=}"; done ;;
      ARCHES=*) echo "${setting#*=}" >"$STATE/arches" ;;
    esac
  done
  # shellcheck disable=SC2086 # the settings are words
  out=$(cd "$STATE/top" && env $settings PATH="$work/bin:$PATH" FAIL_INDEX=$fail_index REFUSE=$refuse \
    QBSOCKS_APT_SOURCES="$work/apt" QBSOCKS_APT_UPDATE_PAUSE=0 QBSOCKS_NO_WINE32=0 QBSOCKS_SETUP_DONE=0 bash -c '
      set -euo pipefail; source "$1/scripts/setup-steps.sh"
      runs32=$2; kernel_runs_32bit() { [[ $runs32 == yes ]]; }
      systemd_runs() { [[ ${SYSTEMD:-yes} == yes ]]; }
      setup_main' _ "$repo" "$runs32" 2>&1)
  got_exit=$?
  fail() { echo "FAIL: $name: $*"; echo "$out" | sed 's/^/    /'; status=1; }
  [[ $got_exit == "$want_exit" ]] || fail "exit $got_exit, wanted $want_exit"
  [[ $out == *"$want_out"* ]] || fail "the output lacks: $want_out"
  [[ -z $want_note ]] || grep -q -F "$want_note" "$STATE/top/build/setup-notes.txt" ||
    fail "the notes lack: $want_note"
  asked_i386=no
  grep -q ':i386' "$STATE/calls" || [[ -s $STATE/arches ]] && asked_i386=yes
  [[ $asked_i386 == "$want_i386" ]] || fail "i386 asked for: $asked_i386, wanted $want_i386"
  # Whatever happens to 32-bit Wine, every other package is there on success.
  if [[ $want_exit == 0 ]]; then
    for p in g++ wine64 lld; do [[ -e $STATE/installed/$p ]] || fail "$p was not installed"; done
  fi
  for state in $states; do check "$state" || fail "not so afterwards: $state"; done
done

# The summary's last line counts the runs skipped beside the tests, and a
# machine that runs 32-bit programs says why it skipped them.
summary=$(mkdir -p "$work/summary" && cd "$work/summary" && bash -c '
  source "$1/scripts/summary.sh"
  kernel_runs_32bit() { true; }; wine32_loader=/nonexistent
  summary_start; echo "32-bit Wine could not be installed: no" >"$wine32_setup_note"
  summary_add "windows: SKIPPED the i686 tests"; summary_add "SKIPPED: a test"; summary_add "abi: RAN"
  echo "5 1 2" >"$counts_file"; summary_print 0' _ "$repo")
[[ $summary == *$'\ntests: 5 passed, 1 failed, 2 skipped; runs skipped: 2' &&
  $summary == *"skipped: 32-bit Wine could not be installed: no"* ]] ||
  { echo "FAIL: the summary:"; echo "$summary" | sed 's/^/    /'; status=1; }
((status)) || echo "setup_test: $((${#cases[@]} + 1)) passed, 0 failed"
exit $status
