#!/usr/bin/env bash
# Compiles the C# binding with c_api_test.cs by mono's C# compiler and runs
# it under mono against libqbsocks.so.1 (mapped by the program's config),
# with the servers of linux_servers.py; without mono it says so and exits
# 77, which ctest counts as skipped.
#   c_api_dotnet.sh LIBRARY_DIR WORK_DIR VERSION
set -euo pipefail
library_dir=$1 work=$2 version=$3
repo=$(cd "$(dirname "$0")/../.." && pwd)
if ! command -v mcs >/dev/null || ! command -v mono >/dev/null; then
  echo "c_api_dotnet: SKIPPED: mono is not installed (scripts/setup.sh installs mono-mcs and mono-runtime)"
  exit 77
fi
mkdir -p "$work"
mcs -nologo -warnaserror -out:"$work/c_api_test.exe" "$repo/bindings/dotnet/QBSocks.cs" "$repo/tests/module/c_api_test.cs"
echo '<configuration><dllmap dll="qbsocks" target="libqbsocks.so.1"/></configuration>' >"$work/c_api_test.exe.config"
# QBSOCKS_MONO_PRELOAD: a sanitizer's runtime, which must come before mono's libraries.
LD_LIBRARY_PATH=$library_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} exec python3 "$repo/tests/interop/linux_servers.py" \
  env ${QBSOCKS_MONO_PRELOAD:+LD_PRELOAD="$QBSOCKS_MONO_PRELOAD"} mono "$work/c_api_test.exe" "$version"
