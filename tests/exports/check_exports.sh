#!/usr/bin/env bash
# Compares the symbols a shared library defines in its dynamic table
# (demangled) with an expected list, in one direction per run:
#   check_exports.sh extra   LIBRARY LIST   fails on a symbol the list lacks
#   check_exports.sh missing LIBRARY LIST   fails on a listed symbol not defined
set -euo pipefail
export LC_ALL=C

mode=$1 library=$2 expected_list=$3
[[ -r "$library" ]] || { echo "check_exports: cannot read $library" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Version suffixes (name@@VERSION) are cut before demangling; version nodes
# themselves show up as absolute symbols and are not functions or data.
nm -D --defined-only "$library" | awk 'NF >= 3 && $2 != "A" { sub(/@.*/, "", $3); print $3 }' \
  | c++filt | sort -u > "$work/actual"
sed -e 's/#.*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$expected_list" | sort -u > "$work/expected"

case "$mode" in
  extra)
    comm -13 "$work/expected" "$work/actual" > "$work/diff"
    what="exported but not in $(basename "$expected_list")" ;;
  missing)
    comm -23 "$work/expected" "$work/actual" > "$work/diff"
    what="listed in $(basename "$expected_list") but not exported" ;;
  *)
    echo "usage: check_exports.sh extra|missing LIBRARY LIST" >&2; exit 2 ;;
esac

count=$(wc -l < "$work/diff")
if [[ $count -ne 0 ]]; then
  echo "$(basename "$library"): $count symbol(s) $what:"
  sed 's/^/  /' "$work/diff"
  exit 1
fi
echo "$(basename "$library"): no symbol $what ($(wc -l < "$work/actual") exported)"
