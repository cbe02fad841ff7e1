#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing.
#
#   scripts/setup.sh [fuzz] [cross]
#
# With "fuzz", also clang and its sanitizer and libFuzzer runtimes for the
# fuzz preset. With "cross", also the PowerPC cross compiler, qemu's
# user-mode emulators and GoogleTest's sources, and builds zlib, libmd and
# libdeflate for PowerPC from Debian's source packages into build/sysroot/ppc
# for the ppc preset (once; build/sysroot/ppc/.sources records what it
# holds).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# groff-base renders the man page the build writes, for its test.
packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
          libcli11-dev nlohmann-json3-dev libmd-dev libdeflate-dev
          pigz gcovr clang-format python3 jq groff-base)
cross=0
for mode in "$@"; do
  case $mode in
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    cross) cross=1
           packages+=(g++-powerpc-linux-gnu qemu-user googletest dpkg-dev) ;;
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
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ $cross -eq 1 ] || exit 0

# Debian builds no PowerPC libraries any more, so the ones the machine links
# are built here from Debian's own sources, statically, into a sysroot of
# their own: nothing of them is installed on this machine.
sysroot=$root/build/sysroot/ppc
ppc_sources=(zlib libmd libdeflate)
stamp="$sysroot/.sources"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${ppc_sources[*]}" ]; then
  exit 0
fi
# No build below reads its input; libtool fails on a closed one.
exec </dev/null
work=$(mktemp -d)
srclist=/etc/apt/sources.list.d/dlupdate-deb-src.sources
trap '$sudo rm -f "$srclist"; rm -rf "$work"' EXIT
chmod 777 "$work" # apt fetches as its own user

# A deb-src entry beside every deb entry of Debian's archive the machine
# already uses, kept only while the sources are fetched.
debian_uris=" $(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 'Origin: Debian' |
  sort -u | tr '\n' ' ') "
{
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$srclist" ] || continue
    awk -v uris="$debian_uris" '
      function flush() {
        if (deb && hit && !off) printf "%s\n", stanza
        stanza = ""; deb = 0; hit = 0; off = 0
      }
      /^[[:space:]]*$/ { flush(); next }
      /^Types:/ { deb = ($0 ~ /[[:space:]]deb([[:space:]]|$)/); stanza = stanza "Types: deb-src\n"; next }
      /^Enabled:[[:space:]]*no/ { off = 1 }
      /^URIs:/ {
        n = split($0, u, /[[:space:]]+/)
        for (i = 2; i <= n; i++) { x = u[i]; sub(/\/?$/, "/", x); if (index(uris, " " x " ")) hit = 1 }
      }
      { stanza = stanza $0 "\n" }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v uris="$debian_uris" '$1 == "deb" {
      for (i = 2; i < NF && ($i ~ /^\[/ || $i ~ /\]$/ || $i ~ /=/); i++) {}
      x = $i; sub(/\/?$/, "/", x)
      if (index(uris, " " x " ")) { sub(/^deb/, "deb-src"); print }
    }' "$f"
  done
} >"$work/deb-src.sources"
if [ ! -s "$work/deb-src.sources" ]; then
  echo "setup: no Debian archive among apt's sources to fetch ${ppc_sources[*]} from" >&2
  exit 1
fi
$sudo cp "$work/deb-src.sources" "$srclist"
$sudo apt-get update -qq

# The newest source first; a mirror without it (security updates are not
# everywhere) gives the release's own.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
for src in "${ppc_sources[@]}"; do
  echo "setup: fetching Debian's $src source"
  if ! (cd "$work" && apt-get source -qq --only-source "$src" >/dev/null 2>&1); then
    (cd "$work" && apt-get source -qq --only-source "$src/$codename" >/dev/null)
  fi
done
$sudo rm -f "$srclist"

echo "setup: building ${ppc_sources[*]} for PowerPC into $sysroot"
dest=$work/root
(
  cd "$work"/zlib-*/
  CC=powerpc-linux-gnu-gcc CFLAGS=-O2 ./configure --static --prefix=/usr >/dev/null
  make -s -j2 libz.a >/dev/null
  make -s install DESTDIR="$dest" >/dev/null
)
(
  cd "$work"/libmd-*/
  ./configure -q --host=powerpc-linux-gnu --disable-shared --prefix=/usr CFLAGS=-O2
  make -s -j2 >/dev/null
  # libtool's advice to register /usr/lib concerns an installed library.
  make -s install DESTDIR="$dest" 2>&1 >/dev/null | { grep -v 'libtool --finish' >&2 || true; }
)
(
  cd "$work"/libdeflate-*/
  make -s -j2 install CC=powerpc-linux-gnu-gcc CFLAGS=-O2 DISABLE_SHARED=1 PREFIX=/usr \
    DESTDIR="$dest" >/dev/null
)
# CLI11 and nlohmann-json are headers alone: the machine's own copies serve.
dpkg-query -L libcli11-dev nlohmann-json3-dev | grep -E '^/usr/(include|share/cmake)/' |
  while read -r f; do
    [ -f "$f" ] && install -D -m 644 "$f" "$dest$f"
  done
rm -rf "$sysroot"
mkdir -p "$(dirname "$sysroot")"
mv "$dest" "$sysroot"
echo "${ppc_sources[*]}" >"$stamp"
