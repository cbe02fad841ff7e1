#!/usr/bin/env bash
# Cuts the power at every event of a full update session, one run per cut,
# then boots the same machine again and checks that the second session
# finishes with both rewrite flags clear and the machine as an uninterrupted
# session leaves it.
#
#   scripts/powercut-sweep.sh [DLUPDATE] [MEDIA]
#
# DLUPDATE defaults to build/default/tools/dlupdate; MEDIA to sample media
# made here. Prints one line per cut and a summary; exits 1 on any failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dl=${1:-$root/build/default/tools/dlupdate}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

media=${2:-}
if [ -z "$media" ]; then
  "$root/media/sample/make-inputs.sh" "$work/in" >/dev/null
  "$dl" mkmedia "$work/in/manifest.json" --out "$work/media" >/dev/null
  media=$work/media
fi

flags() { od -An -tx1 -N4 "$1/nvram.bin" | tr -d ' \n'; }

DLUPDATE_EVENTS=1 "$dl" run --media "$media" --machine "$work/ref" --keys ok \
  >/dev/null 2>"$work/ref.err"
events=$(grep '^events:' "$work/ref.err" | sed 's/^events: //')
echo "events of a full session: $events"

failed=0 cuts=0 start=$SECONDS
for kv in $events; do
  event=${kv%%=*} total=${kv#*=}
  for ((i = 1; i <= total; i++)); do
    m=$work/m
    rm -rf "$m"
    cuts=$((cuts + 1))
    status=0
    "$dl" run --media "$media" --machine "$m" --keys ok --power-cut "$event:$i" \
      >/dev/null 2>&1 || status=$?
    left=$(flags "$m")
    again=0
    "$dl" run --media "$media" --machine "$m" --keys ok >/dev/null 2>&1 || again=$?
    verdict=ok
    if [ "$status" != 9 ] || [ "$again" != 0 ] || [ "$(flags "$m")" != 00000000 ] ||
      ! cmp -s "$m/flashrom.bin" "$work/ref/flashrom.bin" ||
      ! diff -r "$m/units" "$work/ref/units" >/dev/null ||
      ! diff -r "$m/disk" "$work/ref/disk" >/dev/null; then
      verdict=FAILED
      failed=$((failed + 1))
    fi
    printf '%-16s cut exit %s, flags left %s; next boot exit %s: %s\n' \
      "$event:$i" "$status" "$left" "$again" "$verdict"
  done
done
echo "$cuts cut points, $failed failed, $((SECONDS - start)) s"
[ "$failed" = 0 ]
