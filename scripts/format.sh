#!/usr/bin/env bash
# Formats the C++ sources with .clang-format, or with --check says which
# files differ from it and fails:
#
#   scripts/format.sh [--check]
#
# The files are the C++ sources and headers git knows. --check also fails
# when the module (update/) spells a null pointer or a cast the C++ way:
# it is written to build against the device's C headers, with NULL and C
# casts.
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
failed=0
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
  failed=1
fi
mapfile -t dialect < <(git grep -n -I -w -E 'nullptr|static_cast|reinterpret_cast|const_cast|dynamic_cast' \
  -- update/ || true)
if [ ${#dialect[@]} -gt 0 ]; then
  echo "format: ${#dialect[@]} line(s) of update/ spell C++ where the module uses NULL and C casts:" >&2
  printf '  %s\n' "${dialect[@]}" >&2
  failed=1
fi
[ $failed -eq 0 ] || exit 1
echo "format: ${#files[@]} files as .clang-format says; update/ with NULL and C casts only"
