#!/usr/bin/env bash
# Makes the Windows kit, build/windows-kit/QBSocks32-<version>-windows.zip,
# from the Windows build(s): the files packaging/windows-kit/files lists,
# under one top folder, with packaging/windows-kit/README.txt (which
# flavour a host needs) and each flavour's CMake package. It needs all four
# Windows builds, windows, windows64, windows-msvc and windows-msvc-x64:
# run it after scripts/test-windows.sh, which makes them all (or after
# `cmake --preset P && cmake --build --preset P` for each). A file missing
# from the list fails.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(QBSocks32 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
kit_name=QBSocks32-$version-windows
out=build/windows-kit
stage=$out/$kit_name

rm -rf "$out"
mkdir -p "$stage"
cp packaging/windows-kit/README.txt "$stage/"
while read -r folder file; do
  [[ -z "$folder" || "$folder" == \#* ]] && continue
  file=${file//@VERSION@/$version}
  [[ -f "$file" ]] || { echo "windows-kit: $file is missing (build it first)" >&2; exit 1; }
  mkdir -p "$stage/$folder"
  cp "$file" "$stage/$folder/"
done <packaging/windows-kit/files
# Each flavour's CMake package (find_package(QBSocks32) with
# CMAKE_PREFIX_PATH=<kit>/<flavour>), and the kit's own at its root, which
# takes the flavour that matches the compiler (CMAKE_PREFIX_PATH=<kit>).
for flavour in msvc msvc-x64 mingw mingw-x64 root; do
  dir=$stage/$flavour/lib/cmake/QBSocks32
  [[ $flavour == root ]] && dir=$stage
  cmake -DFLAVOUR="$flavour" -DVERSION="$version" -DDIR="$dir" -P packaging/windows-kit/cmake_package.cmake
done

(cd "$out" && zip -q -r -X "$kit_name.zip" "$kit_name")
echo "windows-kit: $out/$kit_name.zip"
