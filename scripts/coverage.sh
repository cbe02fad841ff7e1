#!/usr/bin/env bash
# Builds the coverage preset, runs every test on it and prints the line and
# branch coverage of the module (update/) and of the host (host/):
#
#   scripts/coverage.sh [--html DIR]
#
# Counts of an earlier run are cleared first, so the figures are this run's.
# Branches that only throw, and those the compiler made and no source line
# can take, are left out of the branch figures.
set -euo pipefail
cd "$(dirname "$0")/.."
html=""
if [ "${1:-}" = --html ]; then
  html=${2:?--html needs a folder}
fi
command -v gcovr >/dev/null || scripts/setup.sh
# gcov finds a source by the path it was compiled with: where ccache would
# make those paths relative, it keeps them whole.
export CCACHE_BASEDIR=
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs"
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j "$jobs"

trace=build/coverage/coverage.json
gcovr --root . --object-directory build/coverage --filter 'update/' --filter 'host/' \
      --exclude-throw-branches --exclude-unreachable-branches -j "$jobs" --json "$trace"
for area in update host; do
  echo "== coverage of $area/"
  # The file by file report goes to a file of the build: gcovr removes the
  # file it is given after probing it, which as root would take /dev/null.
  gcovr --root . --add-tracefile "$trace" --filter "$area/" --print-summary \
        --output "build/coverage/coverage-$area.txt"
done
if [ -n "$html" ]; then
  mkdir -p "$html"
  gcovr --root . --add-tracefile "$trace" --filter 'update/' --html-details "$html/index.html"
  echo "coverage: the module's lines, file by file, in $html/index.html"
fi
