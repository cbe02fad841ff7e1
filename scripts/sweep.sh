#!/usr/bin/env bash
# Power-cut and fault sweeps of a full update session, from the shell:
#
#   scripts/sweep.sh [--double] [--faults] [MEDIA]
#
# Sweeps MEDIA (by default sample media made here) with `dlupdate sweep`:
# every cut point, each followed by a boot that must finish; with --double
# every cut point of each recovery boot too; with --faults every call of
# every fault name failing in turn, a table per fault name. Exits as
# dlupdate sweep does (0 only when every row passed).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dl=${DLUPDATE:-$root/build/default/tools/dlupdate}
opts=()
media=
for a in "$@"; do
  case $a in
    --double | --faults) opts+=("$a") ;;
    *) media=$a ;;
  esac
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$media" ]; then
  "$root/media/sample/make-inputs.sh" "$work/in" >/dev/null
  "$dl" mkmedia "$work/in/manifest.json" --out "$work/media" >/dev/null
  media=$work/media
fi
status=0
"$dl" sweep --media "$media" ${opts[@]+"${opts[@]}"} || status=$?
exit $status
