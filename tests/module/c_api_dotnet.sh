#!/usr/bin/env bash
# c_api_test.cs with QBSocks.cs, by mcs, under mono with linux_servers.py, over
# the cases of connect_cases.txt as connect_cases.py wrote them out (CASES);
# without mono it says so and exits 77 (skipped).
# QBSOCKS_MONO_PRELOAD: a sanitizer's runtime, which must come first.
#   c_api_dotnet.sh LIBRARY_DIR WORK_DIR VERSION CASES
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd) exe=${2:?WORK_DIR}/c_api_test.exe
command -v mcs >/dev/null && command -v mono >/dev/null ||
  { echo "c_api_dotnet: SKIPPED: mono is not installed (scripts/setup.sh installs it)"; exit 77; }
mkdir -p "$2" && mcs -nologo -warnaserror -out:"$exe" "$repo"/{bindings/dotnet/QBSocks.cs,tests/module/c_api_test.cs}
# README.md's C# quick start compiles as it stands.
sed -n '/^## Quick start: C#/,/^## Quick start: Windows/p' "$repo/README.md" | sed -n '/^```csharp/,/^```$/{/^```/!p}' >"$2/readme.cs"
[ -s "$2/readme.cs" ] || { echo "c_api_dotnet: no C# block in README.md's quick start"; exit 1; }
# -doc: a public member without /// documentation fails the build.
mcs -nologo -warnaserror -target:library -doc:"$2/QBSocks.xml" -out:"$2/readme.dll" "$repo/bindings/dotnet/QBSocks.cs" "$2/readme.cs"
# No library anywhere on the search path: what a call says.
rm -rf "$2/nowhere" && mkdir "$2/nowhere" && LD_LIBRARY_PATH=$2/nowhere mono "$exe" unreachable "$2/nowhere"
# As with the runtime package alone: libqbsocks.so.1 on the search path, no
# libqbsocks.so and no <dllmap> (the binding finds the library itself).
rm -rf "$exe.config" "$2/runtime" && mkdir "$2/runtime" && ln -s "$1/libqbsocks.so.1" "$2/runtime/"
LD_LIBRARY_PATH=$2/runtime${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} exec python3 "$repo/tests/support/linux_servers.py" \
  env ${QBSOCKS_MONO_PRELOAD:+LD_PRELOAD="$QBSOCKS_MONO_PRELOAD"} mono "$exe" "$3" "${4:?CASES}"
