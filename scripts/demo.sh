#!/usr/bin/env bash
# Sets up, builds dlupdate (default preset) and runs its demo: sample media,
# a fresh machine, one full update session, the final panel and where
# everything is.
#
#   scripts/demo.sh [DIR]      (DIR defaults to ./dlupdate-demo)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(realpath -m "${1:-dlupdate-demo}")

"$root/scripts/setup.sh"
cd "$root"
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
cmake --preset default >/dev/null
cmake --build --preset default --target dlupdate -j "$jobs"
exec "$root/build/default/tools/dlupdate" demo "$dir"
