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
# makes the script fail. Prints one summary line per target.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
FUZZ_SECONDS=${FUZZ_SECONDS:-180}
JOBS=${JOBS:-2}
BUILD=build/fuzz
FUZZ_CXX=${KARVEL_FUZZ_CXX:-clang++-19}
ALL_TARGETS=(fuzz_msscan fuzz_lzf fuzz_profile_block fuzz_run_length fuzz_peak_block
  fuzz_msmasscal fuzz_defaultmasscal fuzz_devices_xml fuzz_contents_xml)
TARGETS=("${@:-${ALL_TARGETS[@]}}")

VENV=$(scripts/python-env.sh 3.14)
export PATH=$VENV/bin:$PATH
source scripts/build-env.sh
command -v "$FUZZ_CXX" >/dev/null || { echo "fuzz: $FUZZ_CXX not found (scripts/system-deps.sh fuzz installs it)" >&2; exit 1; }

mkdir -p "$BUILD"
exec 9>"$BUILD/.lock"
flock 9

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$(command -v "$FUZZ_CXX")" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKARVEL_PYTHON=OFF -DKARVEL_FUZZ=ON "${KARVEL_CMAKE_LAUNCHER[@]}" >"$BUILD/.configure.log" || { cat "$BUILD/.configure.log" >&2; exit 1; }
nice cmake --build "$BUILD" --parallel "$JOBS" -- "${TARGETS[@]}"

rm -rf "$BUILD/seeds"
python fuzz/make_seeds.py "$BUILD/seeds" >/dev/null

dictionary_of() {
  case $1 in
    fuzz_defaultmasscal | fuzz_devices_xml | fuzz_contents_xml) echo fuzz/dict/xml.dict ;;
    *) echo fuzz/dict/binary.dict ;;
  esac
}

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
    -dict="$(dictionary_of "$target")" -artifact_prefix="$BUILD/artifacts/$target-" \
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
