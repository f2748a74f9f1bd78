#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting
# from the seed corpus in fuzz/corpus/. Fails on any finding; the input
# that caused it is kept under build/fuzz/runs/<harness>/artifacts/.
#
#   FUZZ_SECONDS  time per harness (default 60); the harnesses run side by
#                 side, one per core, so this is also about the wall time.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
runs=build/fuzz/runs

echo "== fuzz: configure, build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

rm -rf "$runs"

# Runs one harness on a scratch copy of its seed corpus, so the seeds in
# the tree stay as they are.
fuzz_one() {
  local name=$1 max_len=$2
  local dir=$runs/$name
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp fuzz/corpus/"$name"/* "$dir/corpus/"
  build/fuzz/fuzz/"${name}_fuzzer" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1
}

harnesses=(proxy_reply:1024 reg_text:4096)
pids=()
for h in "${harnesses[@]}"; do
  echo "== fuzz: ${h%%:*} for ${seconds} s"
  fuzz_one "${h%%:*}" "${h##*:}" &
  pids+=($!)
done

failed=0
for i in "${!harnesses[@]}"; do
  name=${harnesses[$i]%%:*}
  if wait "${pids[$i]}"; then
    grep -E '^stat::number_of_executed_units' "$runs/$name/log" | sed "s/^/$name: /" || true
  else
    failed=1
    echo "fuzz: $name found a problem; its log ends:" >&2
    tail -n 60 "$runs/$name/log" >&2
    ls "$runs/$name/artifacts/" >&2 || true
  fi
done
exit "$failed"
