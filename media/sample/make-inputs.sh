#!/usr/bin/env bash
# Makes the input files of the sample manifest, byte for byte the same on
# every run: text from fixed lines, binary data from a seeded Park-Miller
# generator in plain bash, so that no binary needs to live in git.
#
#   make-inputs.sh [DIR]
#
# writes DIR/inputs/ (DIR defaults to this script's folder) and, when DIR is
# another folder, a copy of manifest.json beside it; then
#   dlupdate mkmedia DIR/manifest.json --out MEDIA
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-$here}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [ "$dir" != "$here" ]; then
  cp "$here/manifest.json" "$dir/manifest.json"
fi
inputs=$dir/inputs
rm -rf "$inputs"
mkdir -p "$inputs"

# random FILE BYTES SEED: pseudo-random bytes (seed 1 to 2147483646).
random() {
  local file=$1 n=$2 x=$3 chunk="" e i
  mkdir -p "$(dirname "$file")"
  : >"$file"
  for ((i = 0; i < n; i++)); do
    x=$((x * 48271 % 2147483647))
    printf -v e '\\%03o' $(((x >> 8) & 255))
    chunk+=$e
    if ((${#chunk} >= 16384)); then
      printf "$chunk" >>"$file"
      chunk=""
    fi
  done
  printf "$chunk" >>"$file"
}

# text FILE LINES WORDS: numbered lines of text, well compressible.
text() {
  local file=$1 lines=$2 words=$3 i
  mkdir -p "$(dirname "$file")"
  for ((i = 1; i <= lines; i++)); do
    printf '%04d %s\n' "$i" "$words"
  done >"$file"
}

# The UI packages of the flash ROM image: resources and tables.
for ui in ui1:11 ui0:12 uif:13; do
  name=${ui%%:*}
  text "$inputs/$name.res" 300 "$name resource string"
  random "$inputs/$name.tbl" 6000 "${ui##*:}"
  cat "$inputs/$name.res" "$inputs/$name.tbl" >"$inputs/$name.bin"
  rm "$inputs/$name.res" "$inputs/$name.tbl"
done

# Sub-unit firmware; the PFC image has an odd length.
random "$inputs/lsr.bin" 6000 21
random "$inputs/pfc.bin" 4001 22
random "$inputs/engine.bin" 16384 23
random "$inputs/scanner.bin" 8192 24

# The HDD system tree: top-level folders are the partitions.
tree=$inputs/hddtree
random "$tree/SYS/bin/app" 20000 31
random "$tree/SYS/lib/libui.so" 12000 32
text "$tree/SYS/etc/system.conf" 40 "key = value"
text "$tree/ROM/PRF/default.prf" 25 "panel.default = 1"
text "$tree/PRF/panel.cfg" 30 "brightness 5"
text "$tree/UND/readme.txt" 5 "service area"

echo "sample inputs in $inputs"
