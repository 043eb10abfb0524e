#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [TARGET...]
#
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UBSan in build/fuzz, writes fresh seed corpora from the test-data writer,
# replays the saved inputs of tests/cpp/data/fuzz, then fuzzes each
# target (all of them by default) for FUZZ_SECONDS seconds (default 180),
# starting from the seeds, the saved inputs and the corpus of earlier runs.
# The corpus grown under build/fuzz/corpus is kept for the next run. A crash,
# hang, leak or sanitizer report leaves its input in build/fuzz/artifacts and
# makes the script fail. Prints one summary line per target. The targets and
# their dictionaries are listed in fuzz/targets.txt.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
FUZZ_SECONDS=${FUZZ_SECONDS:-180}
source scripts/fuzz-common.sh
TARGETS=("${@:-${FUZZ_TARGETS[@]}}")
check_fuzz_targets "${TARGETS[@]}"
build_fuzz_targets "${TARGETS[@]}"

# The reported number of a libFuzzer final statistic, or 0.
stat_of() { sed -n "s/^stat::$2: *//p" "$1" | tail -1 | grep . || echo 0; }

failed=0
: >"$BUILD/summary.txt"
for target in "${TARGETS[@]}"; do
  binary=$BUILD/fuzz/$target
  corpus=$BUILD/corpus/$target
  log=$BUILD/logs/$target.log
  mkdir -p "$corpus" "$BUILD/artifacts" "$BUILD/logs" "$BUILD/seeds/$target"
  saved=tests/cpp/data/fuzz/$target
  mkdir -p "$saved"
  inputs=("$saved"/*)
  if [[ -e ${inputs[0]} ]]; then
    "$binary" "${inputs[@]}" >"$log" 2>&1 || { echo "$target: a saved input fails ($log)"; failed=1; continue; }
  fi
  status=0
  nice "$binary" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1 \
    -dict="${FUZZ_DICTIONARIES[$target]}" -artifact_prefix="$BUILD/artifacts/$target-" \
    "$corpus" "$BUILD/seeds/$target" "$saved" >"$log" 2>&1 || status=$?
  execs=$(stat_of "$log" number_of_executed_units)
  rate=$(stat_of "$log" average_exec_per_sec)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  line="$target: $execs execs in ${FUZZ_SECONDS}s ($rate/s), coverage ${coverage:-0}, corpus $(ls "$corpus" | wc -l) inputs"
  if ((status != 0)); then
    line+=" -- FAILED (exit $status): $(grep -m1 -E 'ERROR|runtime error|SUMMARY' "$log" || true); see $log"
    failed=1
  fi
  echo "$line" | tee -a "$BUILD/summary.txt"
done
exit "$failed"
