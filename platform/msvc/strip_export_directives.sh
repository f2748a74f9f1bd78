#!/usr/bin/env bash
# Takes the linker directives (the /EXPORT:s that dllexport writes) out of
# objects, so that a .def file alone decides the exports and their ordinals.
#   strip_export_directives.sh LLVM_OBJCOPY OBJECT...
set -euo pipefail
objcopy=$1
shift
for object in "$@"; do
  "$objcopy" --remove-section=.drectve "$object"
done
