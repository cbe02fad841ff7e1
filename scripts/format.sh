#!/usr/bin/env bash
# Formats the C++ sources with .clang-format, or with --check says which
# files differ from it and fails:
#
#   scripts/format.sh [--check]
#
# The files are the C++ sources and headers git knows.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
[ "${1:-}" = --check ] && check=1
format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$format" ]; then
  scripts/setup.sh
  format=$(command -v clang-format-14 || command -v clang-format)
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ $check -eq 0 ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  if ! "$format" "$f" | cmp -s - "$f"; then
    bad+=("$f")
  fi
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "format: ${#bad[@]} file(s) differ from .clang-format (scripts/format.sh formats them):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  "$format" "${bad[0]}" | diff -u "${bad[0]}" - | head -20 >&2 || true
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
