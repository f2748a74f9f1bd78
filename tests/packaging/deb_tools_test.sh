#!/usr/bin/env bash
# The packaged tools start, their manual pages and the library's render
# without a warning, and no packaged program or library carries a run path.
#   deb_tools_test.sh DEB_DIR WORK_DIR
set -euo pipefail
deb_dir=$1 work=$(realpath -m "$2")
# shellcheck source=tests/packaging/unpack_debs.sh
source "$(dirname "$0")/unpack_debs.sh"

rm -rf "$work"
mkdir -p "$work/root"
root=$work/root
unpack_debs "$deb_dir" "$root"
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

help=$("$root/usr/bin/qbsocks-cat" --help) || fail "qbsocks-cat --help exited $?"
[[ "$help" == "Usage: qbsocks-cat [-v] [-w SECONDS] [-F] HOST PORT"* ]] || fail "qbsocks-cat --help printed: ${help:0:200}"

# The packaged Python module, in Debian's python3's path, loads the packaged
# libqbsocks.so.1; the package's metadata gives the release, and it is typed.
version=$(dpkg-deb -f "$deb_dir"/python3-qbsocks_*.deb Version)
got=$(PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 -c 'import importlib.metadata, os, qbsocks
print(qbsocks.version(), importlib.metadata.version("qbsocks"), os.path.isfile(qbsocks.__file__[:-11] + "py.typed"))') &&
  [[ $got == "$version $version True" ]] ||
  fail "python3-qbsocks's version(), metadata version and files: $got"

for page in man1/qbsocks-cat.1 man1/qbsocks-reg.1 man3/qbsocks32.3 man3/qbsocks.3; do
  file=$root/usr/share/man/$page.gz
  name=$(basename "$page" | sed 's/\.\([0-9]\)$/(\1)/')  # qbsocks-cat(1)
  # man's own checks (groff -ww); anything on standard error is a warning.
  text=$(MANWIDTH=80 man --warnings -l "$file" 2>"$work/man-warnings") || fail "man -l $page exited $?"
  [[ ! -s "$work/man-warnings" ]] || fail "$page: $(cat "$work/man-warnings")"
  [[ "$(head -n 1 <<<"$text")" == "$name"* ]] || fail "$page does not render as $name"
  grep -q '^NAME$' <<<"$text" || fail "$page has no NAME section"
done

while IFS= read -r -d '' file; do
  if readelf -d "$file" 2>/dev/null | grep -Eq '\((RPATH|RUNPATH)\)'; then
    fail "${file#"$root"} carries a run path"
  fi
done < <(find "$root/usr/bin" "$root/usr/lib" -type f \( -perm -u+x -o -name '*.so.*' \) -print0)

((status == 0)) && echo "deb_tools_test: tools and the Python module (with its metadata) start, manual pages clean, no run paths"
exit $status
