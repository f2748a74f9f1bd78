# What a test run did, said in a few lines at its end (sourced by
# scripts/test.sh and scripts/test-windows.sh). Each step adds a line to
# build/test-summary.txt; each ctest run adds its counts to
# build/test-counts.txt. scripts/test.sh starts both afresh (and exports
# QBSOCKS_SUMMARY for the scripts it calls) and prints them; a script run
# on its own writes neither.
source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

summary_file=build/test-summary.txt
counts_file=build/test-counts.txt

summary_start() {
  mkdir -p build
  : >"$summary_file"
  : >"$counts_file"
  export QBSOCKS_SUMMARY=1
}

summary_add() {  # LINE
  [[ ${QBSOCKS_SUMMARY:-0} == 1 ]] || return 0
  echo "$*" >>"$summary_file"
}

# Runs ctest with ARGS, shows its output, and notes how many of its tests
# passed, failed and were skipped (with the skipped tests' names).
summary_ctest() {  # WHAT ARGS...
  local what=$1 out status=0
  shift
  out=$(mktemp)
  ctest "$@" 2>&1 | tee "$out" || status=$?
  local total failed skipped names
  total=$(sed -n 's/.*tests passed, [0-9]* tests* failed out of \([0-9]*\).*/\1/p' "$out" | tail -n 1)
  failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests* failed out of.*/\1/p' "$out" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$out" || true)
  names=$(sed -n 's/.* - \(.*\) (Skipped)$/\1/p' "$out" | paste -sd ' ')
  rm -f "$out"
  total=${total:-0} failed=${failed:-0}
  [[ ${QBSOCKS_SUMMARY:-0} == 1 ]] && echo "$((total - failed - skipped)) $failed $skipped" >>"$counts_file"
  summary_add "$what: $((total - failed - skipped)) passed, $failed failed${names:+, skipped $names}"
  return $status
}

# The step under way, named in the summary if it stops the run.
summary_step=
summary_begin() {  # STEP
  summary_step=$*
  echo "== $*"
}

summary_print() {  # EXIT_STATUS
  echo
  echo "== Summary"
  [[ -s build/setup-notes.txt ]] && sed 's/^/  setup: /' build/setup-notes.txt
  [[ -s $summary_file ]] && sed 's/^/  /' "$summary_file"
  if (($1)); then
    echo "  FAILED (exit $1) in: $summary_step; the steps after it did not run"
  fi
  # 32-bit Wine left out where the kernel runs 32-bit programs: its tests
  # were skipped for a reason this machine could mend.
  if kernel_runs_32bit && ! wine32_runs; then
    echo "  32-bit programs run here, but the tests under 32-bit Wine were skipped: $(wine32_absence)"
  fi
  # A skipped run is a summary line that says SKIPPED ("SKIPPED: ..." or
  # "STEP: SKIPPED ..."); ctest's skipped tests are counted apart.
  local runs_skipped
  runs_skipped=$(grep -c -E '(^|: )SKIPPED' "$summary_file" 2>/dev/null || true)
  awk -v runs="${runs_skipped:-0}" '{ p += $1; f += $2; s += $3 }
    END { printf "tests: %d passed, %d failed, %d skipped; runs skipped: %d\n", p, f, s, runs }' "$counts_file"
}
