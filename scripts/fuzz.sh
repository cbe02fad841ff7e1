#!/usr/bin/env bash
# Builds the fuzz preset, makes the seed corpora from the sample media and
# runs every harness for SECONDS (default 20), one a core:
#
#   scripts/fuzz.sh [SECONDS]
#
# New inputs go to build/fuzz/corpus/<harness>/ (kept between runs); a
# failing input is written as build/fuzz/crash-* and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
harnesses=(fuzz_dbinfo fuzz_findkey fuzz_version fuzz_swap fuzz_hdd fuzz_staging)

scripts/setup.sh fuzz
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target dlupdate "${harnesses[@]}"
fuzz/make-seeds.sh build/fuzz/seeds

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# One harness a core, two at a time on a two-core machine.
fuzz_one() {
  local h=$1 corpus=build/fuzz/corpus/$1 start before runs
  mkdir -p "$corpus"
  start=$(date +%s)
  before=$(find "$corpus" -type f | wc -l)
  if ! build/fuzz/fuzz/$h "$corpus" "build/fuzz/seeds/$h" -max_total_time="$seconds" \
       -rss_limit_mb=4096 -artifact_prefix="build/fuzz/crash-$h-" \
       -print_final_stats=1 >"build/fuzz/$h.log" 2>&1; then
    echo "$h: failed, see build/fuzz/$h.log"
    tail -40 "build/fuzz/$h.log"
    return 1
  fi
  runs=$(grep -ao 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/$h.log" | grep -o '[0-9]*$' || echo '?')
  echo "$h: $runs runs in ${seconds}s ($(( $(date +%s) - start ))s), corpus $before -> $(find "$corpus" -type f | wc -l) inputs"
}

status=0
pids=()
for h in "${harnesses[@]}"; do
  echo "== $h (${seconds}s)"
  fuzz_one "$h" > "build/fuzz/$h.summary" 2>&1 &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
for h in "${harnesses[@]}"; do
  cat "build/fuzz/$h.summary"
done
exit $status
