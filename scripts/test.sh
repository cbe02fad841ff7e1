#!/usr/bin/env bash
# Sets up, builds and runs the tests, preset by preset:
#
#   scripts/test.sh [PART...]
#
# PARTs, in this order; without any, every one but `default` (the coverage
# build runs the same tests, instrumented):
#   format   every C++ file as .clang-format says (scripts/format.sh --check)
#   default  optimised build, every test
#   coverage every test on an instrumented build, then the line and branch
#            coverage of the module (update/) and the host (host/) by gcovr
#   asan     AddressSanitizer and UndefinedBehaviorSanitizer, every test
#   tsan     ThreadSanitizer, every test but four corpus replays (see
#            README, Presets)
#   fuzz     each libFuzzer harness for FUZZ_SECONDS (default 20) seconds
#   ppc      32-bit big-endian PowerPC build, the device's processor: every
#            test under qemu-ppc, and machine folders passed between it and
#            the native build
# Each part prints how long it took. JOBS=N sets the builds' and the
# tests' parallelism (default: the cores).
set -euo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(format coverage asan tsan fuzz ppc)
modes=()
for part in "${parts[@]}"; do
  case $part in
    format | default | asan | tsan | coverage) ;;
    fuzz) modes+=(fuzz) ;;
    ppc) modes+=(cross) ;;
    *) echo "test: unknown part $part" >&2; exit 64 ;;
  esac
done
scripts/setup.sh "${modes[@]}"

jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
for part in "${parts[@]}"; do
  echo "== $part"
  start=$SECONDS
  if [ "$part" = format ]; then
    scripts/format.sh --check
  elif [ "$part" = fuzz ]; then
    scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
  elif [ "$part" = coverage ]; then
    scripts/coverage.sh
  else
    cmake --preset "$part" >/dev/null
    cmake --build --preset "$part" -j "$jobs"
    ctest --preset "$part" -j "$jobs"
  fi
  echo "== $part took $((SECONDS - start)) s"
done
