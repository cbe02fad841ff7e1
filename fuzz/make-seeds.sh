#!/usr/bin/env bash
# Builds the seed corpora of the fuzz harnesses from the sample media:
#
#   fuzz/make-seeds.sh [OUT]
#
# OUT defaults to build/fuzz/seeds; one folder per harness. The sample
# media are made with dlupdate (DLUPDATE, default build/fuzz/tools/dlupdate).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/build/fuzz/seeds}
dlupdate=${DLUPDATE:-$root/build/fuzz/tools/dlupdate}
[ -x "$dlupdate" ] || { echo "make-seeds: no dlupdate at $dlupdate" >&2; exit 1; }

work=$out/work
rm -rf "$out"
mkdir -p "$work"
media/sample/make-inputs.sh "$work" >/dev/null
# The harnesses' own sanitizers need not watch the media tool.
ASAN_OPTIONS=detect_leaks=0 "$dlupdate" mkmedia "$work/manifest.json" --out "$work/media" >/dev/null
store=$work/media/fwstore

# Content as read after the pair swap (an odd file keeps its pad at the end).
unswap() { dd if="$1" conv=swab status=none; }
# slice FILE OFFSET LENGTH
slice() { dd if="$1" iflag=skip_bytes,count_bytes skip="$2" count="$3" bs=65536 status=none; }
le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
                   $((($1 >> 16) & 255)) $((($1 >> 24) & 255)))"; }
# piece FILE: FILE behind its 32-bit length.
piece() { le32 "$(stat -c %s "$1")"; cat "$1"; }

for n in image0 image1 image2; do
  i=${n#image}
  unswap "$store/firmImage$i.bin" >"$work/$n"
done
unswap "$store/1" >"$work/hdd1"

# The three packages of image 0, each from its origin to the CR LF after its data.
origins=(2621440 3211264 3670016)
for i in 0 1 2; do
  o=${origins[$i]}
  slice "$work/image0" "$o" 4096 | tr '\0' '\n' >"$work/head$i"
  size=$(sed -n '/^COMPRESSEDSIZE/{n;p;q}' "$work/head$i")
  start=$(grep -abo -m1 '^DATASTART' "$work/head$i" | head -1 | cut -d: -f1)
  slice "$work/image0" "$o" $((start + 10 + size + 2)) >"$work/pkg$i"
done
longest=$(stat -c %s "$work"/pkg0 "$work"/pkg1 "$work"/pkg2 | sort -n | tail -1)
for i in 0 1 2; do
  { cat "$work/pkg$i"; slice /dev/zero 0 $((longest - $(stat -c %s "$work/pkg$i"))); } >"$work/even$i"
done

version_text=$'TARGET\r\nDL01\r\nOEM_VER\r\n1\r\nMAJOR\r\nR2\r\nMINOR\r\n10\r\nSHIPPING\r\nA\r\n'

mk() { mkdir -p "$out/$1"; cat >"$out/$1/$2"; }

# fuzz_dbinfo: layout byte, then the buffer.
{ printf '\x1f'; cat "$work/image2"; } | mk fuzz_dbinfo chain-image2
{ printf '\x01'; cat "$work/hdd1"; } | mk fuzz_dbinfo chain-hdd1
{ printf '\x0e'; cat "$work/even0" "$work/even1" "$work/even2"; } | mk fuzz_dbinfo fixed-image0

# fuzz_findkey: function and key, the cut, the buffer.
for k in 0 1 2 3 4 5 6; do
  { printf "\\x$(printf %02x $((k * 2)))\\x00\\x00"; slice "$work/image2" 0 2048; } | mk fuzz_findkey "header-$k"
done
for k in 7 8 9 10 11; do
  { printf "\\x$(printf %02x $((k * 2 + 1)))\\x40\\x00"; printf '%s' "$version_text"; } | mk fuzz_findkey "text-$k"
done

# fuzz_version: mode, then records, text or head.
{ printf '\x01'; printf '%s\0' 1.20 JA UI1_DATA 1.20 EN UI0_DATA 1.21 JA UIF_DATA; } | mk fuzz_version from
{ printf '\x02'; printf '%s\0' L1.03 '' LASER_FIRM P2.00 '' PFC_FIRM E3.10 '' ENGINE_MAIN_FIRM S1.07 '' SCANNER_FIRM; } | mk fuzz_version eng
{ printf '\x03'; printf '%s' "$version_text"; } | mk fuzz_version text
{ printf '\x04'; slice "$work/image1" 0 128; } | mk fuzz_version head

# fuzz_swap: length byte, the limit, the file.
{ printf '\x00\x00\x01\x00\x00'; slice "$store/firmImage1.bin" 0 3001; } | mk fuzz_swap odd
{ printf '\x02\x00\x00\x01\x00'; slice "$store/firmImage2.bin" 0 4096; } | mk fuzz_swap long

# fuzz_hdd: files, offset, capacity, then the stored files.
files=$(ls "$store" | grep -cE '^[0-9]+$')
n=$((files < 7 ? files : 7))
{ printf "\\x$(printf %02x $((n | 64)))\\x00\\x00"; for i in $(seq 1 $n); do piece "$store/$i"; done; } | mk fuzz_hdd series
{ printf '\x5a\x10\x85'; piece "$store/1"; piece "$store/2"; piece "$store/3"; } | mk fuzz_hdd gap

# fuzz_staging: all present in the model folder, then the pieces.
{ printf '\x1f'; piece "$work/pkg0"; piece "$work/pkg1"; piece "$work/pkg2"
  piece "$work/image1"; piece "$work/image2"; piece "$work/hdd1"; } | mk fuzz_staging all
{ printf '\x0e'; piece "$work/pkg0"; piece "$work/pkg1"; piece "$work/pkg2"
  piece "$work/image1"; le32 0; le32 0; } | mk fuzz_staging root-no-hdd

rm -rf "$work"
echo "make-seeds: $(find "$out" -type f | wc -l) seeds in $out"
