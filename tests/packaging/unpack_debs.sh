# shellcheck shell=bash
# Sourced by the package tests: unpack_debs DEB_DIR ROOT unpacks every
# package of DEB_DIR into ROOT, as dpkg would place the files, and lets
# programs find the unpacked libraries (the packages carry no run path).
unpack_debs() {
  local deb_dir=$1 root=$2 deb multiarch
  local debs=("$deb_dir"/*.deb)
  [[ -e "${debs[0]}" ]] || { echo "FAIL: no packages in $deb_dir" >&2; return 1; }
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  export LD_LIBRARY_PATH=$root/usr/lib/$multiarch
}
