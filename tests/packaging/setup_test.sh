#!/usr/bin/env bash
# scripts/setup.sh's decisions against a fake apt on PATH: a mirror whose
# index fails, a package apt cannot install, a kernel that runs no 32-bit
# programs. Touches no real apt state.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# dpkg-query and dpkg over a folder of installed packages; apt-get that
# installs into it, logs its calls, fails the index $FAIL_INDEX and refuses
# any list that holds a package of $REFUSE.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
[[ -e $STATE/installed/${!#} ]] && echo 'install ok installed'
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case $1 in
  --print-foreign-architectures) cat "$STATE/arches" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$STATE/arches" ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
args=(); for a in "$@"; do [[ $a == -* || $a == DPkg::* ]] || args+=("$a"); done
echo "${args[*]}" >>"$STATE/calls"
if [[ ${args[0]} == update ]]; then
  [[ -z ${FAIL_INDEX:-} ]] && exit 0
  echo "E: Failed to fetch $FAIL_INDEX  File has unexpected size (7 != 9). Mirror sync in progress?"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
for p in "${args[@]:1}"; do
  if [[ " ${REFUSE:-} " == *" $p "* ]]; then
    printf 'The following packages have unmet dependencies:\n %s : Depends: zlib1g:i386\nE: Unable to correct problems, you have held broken packages.\n' "$p"
    exit 100
  fi
done
for p in "${args[@]:1}"; do touch "$STATE/installed/$p"; done
EOF
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
chmod +x "$work/bin/"*

index=http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
# name | kernel runs 32-bit | failing index | refused packages | exit | in the output | in the notes | i386 asked for
cases=(
  "mirror fails the i386 index|yes|$index|wine32:i386|0|32-bit Wine could not be installed: |failed 3 times on $index|yes"
  "kernel without 32-bit support|no|||0|the kernel runs no 32-bit programs||no"
  "a required package refused|yes||g++|1|FAILED: apt could not install g++: ||no"
  "everything installs|yes|||0|installing||yes"
)

status=0
for row in "${cases[@]}"; do
  IFS='|' read -r name runs32 fail_index refuse want_exit want_out want_note want_i386 <<<"$row"
  export STATE=$work/state/${name// /_}
  mkdir -p "$STATE/installed" "$STATE/top"
  out=$(cd "$STATE/top" && PATH="$work/bin:$PATH" FAIL_INDEX=$fail_index REFUSE=$refuse \
    QBSOCKS_APT_UPDATE_PAUSE=0 QBSOCKS_NO_WINE32=0 QBSOCKS_SETUP_DONE=0 bash -c '
      source "$1/scripts/setup-steps.sh"
      runs32=$2; kernel_runs_32bit() { [[ $runs32 == yes ]]; }
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
done
((status)) || echo "setup_test: ${#cases[@]} passed, 0 failed"
exit $status
