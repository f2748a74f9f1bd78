#!/usr/bin/env bash
# Runs the whole test suite N times (default 10) with ctest -j4 while a load
# of its own keeps every core busy, and prints, per test, how many runs it
# failed. A test whose verdict depends on scheduling shows up here long
# before it fails a CI run by chance. Exit 1 when any run failed a test.
#
#   bash scripts/stress-tests.sh 10
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-10}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [RUNS]" >&2; exit 2; }

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

# Each run's output is kept, so that a failure can be read in full.
work=build/default/stress
rm -rf "$work" && mkdir -p "$work"
load_pids=()
stop_load() {
  ((${#load_pids[@]})) && kill "${load_pids[@]}" 2>/dev/null || true
}
trap stop_load EXIT

# One busy loop per core, at normal priority: the tests compete with it.
for _ in $(seq "$(nproc)"); do
  bash -c 'while :; do :; done' &
  load_pids+=($!)
done

failed_log=build/default/Testing/Temporary/LastTestsFailed.log
for run in $(seq "$runs"); do
  rm -f "$failed_log"
  if ctest --preset default --output-on-failure >"$work/run-$run.log" 2>&1; then
    echo "run $run of $runs: passed"
  else
    echo "run $run of $runs: FAILED ($(wc -l <"$failed_log" 2>/dev/null || echo '?') tests; output in $work/run-$run.log)"
    # Lines are "number:name"; a run that failed without the list counts whole.
    if [[ -s $failed_log ]]; then cut -d: -f2- "$failed_log" >>"$work/failures"; else echo "(the run itself)" >>"$work/failures"; fi
  fi
done

if [[ -s $work/failures ]]; then
  echo "failures per test over $runs runs:"
  sort "$work/failures" | uniq -c | sort -rn
  exit 1
fi
echo "no test failed in $runs runs under load"
