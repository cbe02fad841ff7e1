#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing.
#
#   scripts/setup.sh [fuzz] [cross]
#
# With "fuzz", also clang and its sanitizer and libFuzzer runtimes for the
# fuzz preset. With "cross", also the PowerPC and s390x cross compilers,
# qemu's user-mode emulators and GoogleTest's sources, and unpacks Debian's
# s390x builds of the libraries into build/sysroot/s390x for the s390x
# preset.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
          libcli11-dev nlohmann-json3-dev libssl-dev libdeflate-dev
          pigz)
cross=0
for mode in "$@"; do
  case $mode in
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    cross) cross=1
           packages+=(g++-powerpc-linux-gnu g++-s390x-linux-gnu qemu-user googletest) ;;
    *) echo "setup: unknown mode $mode (fuzz, cross)" >&2; exit 64 ;;
  esac
done

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
updated=0
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  updated=1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ $cross -eq 1 ] || exit 0

# The s390x libraries are unpacked, not installed: installed side by side
# with the machine's own, each would have to match its amd64 twin's version
# exactly, which the archive's mirrors do not always give at one moment.
sysroot=$root/build/sysroot/s390x
s390x_packages=(zlib1g zlib1g-dev libssl3 libssl-dev libgtest-dev libgmock-dev)
stamp="$sysroot/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${s390x_packages[*]}" ]; then
  exit 0
fi
if ! dpkg --print-foreign-architectures | grep -qx s390x; then
  echo "setup: adding the s390x architecture to apt"
  $sudo dpkg --add-architecture s390x
  updated=0
fi
[ $updated -eq 1 ] || $sudo apt-get update -qq
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 777 "$work" # apt fetches as its own user
echo "setup: unpacking s390x ${s390x_packages[*]} into $sysroot"
(cd "$work" && apt-get download -qq "${s390x_packages[@]/%/:s390x}" libcli11-dev nlohmann-json3-dev)
mkdir -p "$work/root"
for deb in "$work"/*.deb; do
  dpkg-deb -x "$deb" "$work/root"
done
rm -rf "$sysroot"
mkdir -p "$(dirname "$sysroot")"
mv "$work/root" "$sysroot"
echo "${s390x_packages[*]}" >"$stamp"
