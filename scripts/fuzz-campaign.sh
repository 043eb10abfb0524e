#!/usr/bin/env bash
# Usage: scripts/fuzz-campaign.sh HOURS [TARGET...]
#
# A long fuzzing round that continues the kept corpus. The targets (all of
# fuzz/targets.txt by default) run one after the other; each gets an even
# share of the time still left. A target runs in libFuzzer's fork mode with
# FUZZ_WORKERS workers (default: one per core) at nice 19, so it only takes
# idle CPU, in slices of at most FUZZ_SLICE seconds (default 1800: fork mode
# starts with one-second jobs and lengthens them, so short slices spend much
# of their time starting jobs), starting
# from the kept corpus in tests/cpp/data/fuzz/<target>/, the seeds and the
# working corpus in build/fuzz/campaign/<target>/ (kept between rounds). With
# FUZZ_GOAL=N, a target stops once its executions over all rounds reach N
# (libFuzzer's -runs ends the slice there) and leaves its time to the targets
# after it. Crashes, hangs and out-of-memory
# inputs do not stop the round; they are counted and kept in
# build/fuzz/artifacts/.
#
# Afterwards the kept corpus is minimised anew from its own inputs and the
# working corpus: -merge=1 over edges alone (-use_counters=0), so it keeps a
# small set of inputs, the smaller ones first, that reaches every edge either
# reaches; reproducers of findings stay. One line per target is appended to
# fuzz/campaign.tsv: the date, target, seconds, executions of this round,
# executions of all rounds so far, edges covered by the kept corpus, its files
# and bytes, and findings. HOURS=0 only minimises and logs. Exits 1 when
# anything was found.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
HOURS=${1:?usage: fuzz-campaign.sh HOURS [TARGET...]}
shift
[[ $HOURS =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "fuzz-campaign: HOURS must be a number, not '$HOURS'" >&2; exit 1; }
source scripts/fuzz-common.sh
TARGETS=("${@:-${FUZZ_TARGETS[@]}}")
check_fuzz_targets "${TARGETS[@]}"
WORKERS=${FUZZ_WORKERS:-$(nproc)}
LOG=fuzz/campaign.tsv
GOAL=${FUZZ_GOAL:-0}
SLICE=${FUZZ_SLICE:-1800}

build_fuzz_targets "${TARGETS[@]}"
DEADLINE=$(awk -v h="$HOURS" -v now="$(date +%s)" 'BEGIN { printf "%d", now + h * 3600 }')
[[ -f $LOG ]] || printf 'date\ttarget\tseconds\texecutions\ttotal_executions\tedges\tcorpus_files\tcorpus_bytes\tfindings\n' >"$LOG"

# Executions of all earlier rounds of a target, from the log.
earlier_executions() { awk -F'\t' -v t="$1" '$2 == t { total = $5 } END { print total + 0 }' "$LOG"; }

# Edges covered by a corpus: libFuzzer's "cov:" after loading it.
edges_of() {
  "$1" -runs=0 -timeout=10 -rss_limit_mb=2560 "$2" 2>&1 | sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' | tail -1
}

# The last fork-mode status line of a log: "#EXECS: cov: N ... oom/timeout/crash: A/B/C ...".
executions_in() { sed -n 's/^#\([0-9]*\): cov:.*/\1/p' "$1" | tail -1 | grep . || echo 0; }
findings_in() {
  sed -n 's|.*oom/timeout/crash: \([0-9]*\)/\([0-9]*\)/\([0-9]*\).*|\1 \2 \3|p' "$1" | tail -1 |
    awk '{ n = $1 + $2 + $3 } END { print n + 0 }'
}

# Replaces the corpus inputs of the kept corpus (files named by their SHA-1)
# with a small set, drawn from them and the working corpus, that reaches every
# edge both reach. Other kept files, the reproducers of findings, always stay.
minimise_into_kept() {
  local binary=$1 kept=$2 work=$3 log=$4 fresh=$BUILD/campaign/.minimised
  rm -rf "$fresh"
  mkdir -p "$fresh"
  nice -n 19 "$binary" -merge=1 -use_counters=0 -timeout=10 -rss_limit_mb=2560 "$fresh" "$kept" "$work" >"$log" 2>&1 || return 1
  find "$kept" -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
  find "$fresh" -type f -exec cp {} "$kept"/ \;
  rm -rf "$fresh"
}

found=0
left=${#TARGETS[@]}
for target in "${TARGETS[@]}"; do
  binary=$BUILD/fuzz/$target
  kept=tests/cpp/data/fuzz/$target
  work=$BUILD/campaign/$target
  log=$BUILD/logs/campaign-$target.log
  mkdir -p "$kept" "$work" "$BUILD/logs" "$BUILD/artifacts" "$BUILD/seeds/$target"
  start=$(date +%s)
  end=$((start + (DEADLINE - start) / left))
  left=$((left - 1))
  earlier=$(earlier_executions "$target")
  executions=0
  findings=0
  echo "fuzz-campaign: $target until $(date -u -d "@$end" +%T) UTC on $WORKERS workers" >&2
  : >"$log"
  while now=$(date +%s); ((now < end)) && ((GOAL == 0 || earlier + executions < GOAL)); do
    seconds=$((end - now < SLICE ? end - now : SLICE))
    runs=$((GOAL == 0 ? -1 : GOAL - earlier - executions))
    nice -n 19 "$binary" -fork="$WORKERS" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
      -max_total_time="$seconds" -runs="$runs" -timeout=10 -rss_limit_mb=2560 \
      -dict="${FUZZ_DICTIONARIES[$target]}" -artifact_prefix="$BUILD/artifacts/$target-" \
      "$work" "$kept" "$BUILD/seeds/$target" >"$log.slice" 2>&1 || true
    cat "$log.slice" >>"$log"
    executions=$((executions + $(executions_in "$log.slice")))
    findings=$((findings + $(findings_in "$log.slice")))
  done
  minimise_into_kept "$binary" "$kept" "$work" "$log.merge" ||
    { echo "fuzz-campaign: merging $target failed, see $log.merge" >&2; found=1; }
  files=$(find "$kept" -type f | wc -l)
  bytes=$(find "$kept" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$target" "$(($(date +%s) - start))" \
    "$executions" "$((earlier + executions))" "$(edges_of "$binary" "$kept")" "$files" "$bytes" "$findings" | tee -a "$LOG"
  ((findings == 0)) || { echo "fuzz-campaign: $target: findings kept in $BUILD/artifacts/$target-*" >&2; found=1; }
done
exit "$found"
