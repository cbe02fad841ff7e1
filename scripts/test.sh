#!/usr/bin/env bash
# Sets up, builds and runs the tests, preset by preset:
#
#   scripts/test.sh [PART...]
#
# PARTs, all of them by default and in this order:
#   default  optimised build, every test
#   asan     AddressSanitizer and UndefinedBehaviorSanitizer, every test
#   tsan     ThreadSanitizer, every test
#   fuzz     each libFuzzer harness for FUZZ_SECONDS (default 20) seconds
#   s390x    64-bit big-endian build, every test under qemu-s390x, and a
#            machine folder passed between it and the default build
#   ppc      32-bit big-endian PowerPC build of the module and the host
#            machine, the tests that need only the standard library under
#            qemu-ppc
# Each part prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(default asan tsan fuzz s390x ppc)
modes=()
for part in "${parts[@]}"; do
  case $part in
    default | asan | tsan) ;;
    fuzz) modes+=(fuzz) ;;
    s390x | ppc) modes+=(cross) ;;
    *) echo "test: unknown part $part" >&2; exit 64 ;;
  esac
done
scripts/setup.sh "${modes[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
for part in "${parts[@]}"; do
  echo "== $part"
  start=$SECONDS
  if [ "$part" = fuzz ]; then
    scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
  else
    cmake --preset "$part" >/dev/null
    cmake --build --preset "$part" -j "$jobs"
    ctest --preset "$part" -j "$jobs"
  fi
  echo "== $part took $((SECONDS - start)) s"
done
