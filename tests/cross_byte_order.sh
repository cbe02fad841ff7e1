#!/usr/bin/env bash
# A machine folder is the same bytes whichever byte order wrote it: one
# dlupdate leaves a half-done machine, the other reads it, finishes the
# update, and the first reads the result; both read every state alike, and
# whole sessions on either print the same console, leave the same panel and
# the same folders, byte for byte.
#
#   cross_byte_order.sh NATIVE[:NATIVE...] CROSS SOURCE_DIR
#
# NATIVE and CROSS are dlupdate commands of two builds (CROSS may be a
# script that starts it under an emulator); of several NATIVEs the first
# built is used. Exits 77 (skipped) when none is built.
set -euo pipefail

natives=$1 cross=$2 root=$3
native=""
IFS=: read -ra candidates <<<"$natives"
for candidate in "${candidates[@]}"; do
  if [ -x "$candidate" ]; then
    native=$candidate
    break
  fi
done
if [ -z "$native" ]; then
  echo "no native dlupdate at $natives: build the default preset first"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

"$root/media/sample/make-inputs.sh" "$work/in" >/dev/null
"$native" mkmedia "$work/in/manifest.json" --out "$work/media" >/dev/null
"$cross" mkmedia "$work/in/manifest.json" --out "$work/media-cross" >/dev/null
diff -r "$work/media" "$work/media-cross" >/dev/null || fail "mkmedia output differs"

# Both builds must read the folder alike; prints the rewrite flags line.
same_show() {
  "$native" machine show "$1" | tail -n +2 >"$work/show.native"
  "$cross" machine show "$1" | tail -n +2 >"$work/show.cross"
  if ! diff "$work/show.native" "$work/show.cross" >"$work/show.diff"; then
    fail "machine show of $2 differs:"
    cat "$work/show.diff"
  fi
  grep 'rewrite flags' "$work/show.native" | sed 's/^ *//'
}

# run WRITER MACHINE [ARGS...]: a session choosing every item; prints the exit status.
run() {
  local dl=$1 m=$2
  shift 2
  local status=0
  "$dl" run --media "$work/media" --machine "$m" --keys ok "$@" >/dev/null 2>&1 || status=$?
  echo "$status"
}

expect() { # WHAT GOT WANT
  if [ "$2" = "$3" ]; then echo "ok: $1: $2"; else fail "$1: '$2', expected '$3'"; fi
}

for order in "native cross" "cross native"; do
  set -- $order
  first=${!1} second=${!2}
  for cut in flash-write:1 archiver:12; do
    m=$work/m-$1-$cut
    expect "$1 cut at $cut" "$(run "$first" "$m" --power-cut "$cut")" 9
    case $cut in
      flash*) want="rewrite flags 0x00000001: FLASH_REWRITE (0x01)" ;;
      *) want="rewrite flags 0x00000010: HDD_UPDATE (0x10)" ;;
    esac
    expect "flags after the cut, read by both" "$(same_show "$m" "$1 cut")" "$want"
    expect "$2 finishes the update" "$(run "$second" "$m")" 0
    expect "flags after $2 finished, read by both" "$(same_show "$m" "$2 finish")" \
      "rewrite flags 0x00000000: none"
  done
done

# whole NAME DLUPDATE: a session choosing every item, its console, standard
# error, final panel and panel calls kept beside the machine folder.
whole() {
  local status=0
  "$2" run --media "$work/media" --machine "$work/whole-$1" --keys ok \
    --panel "$work/$1.panel" --panel-trace "$work/$1.trace" \
    >"$work/$1.console" 2>"$work/$1.stderr" || status=$?
  echo "$status"
}
expect "whole session, native" "$(whole native "$native")" 0
expect "whole session, cross" "$(whole cross "$cross")" 0
for what in console stderr panel trace; do
  if cmp -s "$work/native.$what" "$work/cross.$what"; then
    echo "ok: whole sessions give the same $what ($(wc -c <"$work/native.$what") bytes)"
  else
    fail "whole sessions give different $what:"
    diff "$work/native.$what" "$work/cross.$what" | head -20
  fi
done
[ -s "$work/native.console" ] && [ -s "$work/native.panel" ] || fail "no console or panel to compare"
if diff -r "$work/whole-native" "$work/whole-cross" >/dev/null; then
  echo "ok: whole sessions leave identical machine folders"
else
  fail "whole sessions leave different machine folders"
fi
cmp -s "$work/whole-native/flashrom.bin" "$work/m-native-flash-write:1/flashrom.bin" ||
  fail "the flash finished by the other build is not the new image"

[ $failed -eq 0 ] && echo "cross byte order: all passed"
exit $failed
