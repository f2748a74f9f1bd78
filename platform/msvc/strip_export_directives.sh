#!/usr/bin/env bash
# Takes the linker directives (the /EXPORT:s that dllexport writes) out of
# objects, so that a .def file alone decides the exports and their ordinals.
# The .drectve section is overwritten with spaces, not removed: removing a
# section renumbers the object's symbols, and control flow guard's tables
# (.gfids$y and its kin) name symbols by their number.
#   strip_export_directives.sh LLVM_READOBJ OBJECT...
set -euo pipefail
readobj=$1
shift
for object in "$@"; do
  # "offset size" of .drectve's contents; nothing when the object has none.
  where=$("$readobj" --sections "$object" | awk '
    /^ *Name: / {drectve = ($2 == ".drectve")}
    drectve && /RawDataSize:/ {size = $2}
    drectve && /PointerToRawData:/ {print $2, size}')
  [[ -n $where ]] || continue
  read -r offset size <<<"$where"
  printf '%*s' "$size" '' | dd of="$object" bs=1 seek=$((offset)) conv=notrunc status=none
done
