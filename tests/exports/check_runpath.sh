#!/usr/bin/env bash
# Fails when the run path (RUNPATH or RPATH) of an ELF file holds an element
# that is neither absolute nor based on $ORIGIN: the loader reads an empty or
# relative element against the current directory, so a program started from
# a folder someone else controls would load that folder's libraries.
#   check_runpath.sh FILE...
set -euo pipefail
export LC_ALL=C

bad=0
for file in "$@"; do
  [[ -r "$file" ]] || { echo "check_runpath: cannot read $file" >&2; exit 2; }
  paths=$(readelf -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p')
  while IFS= read -r path; do
    [[ -n "$path" ]] || continue
    # Split on ':' keeping empty elements (a trailing one too).
    IFS=: read -r -a elements <<< "$path:"
    for element in "${elements[@]}"; do
      case "$element" in
        /* | '$ORIGIN' | '$ORIGIN/'*) ;;
        *) echo "$(basename "$file"): run path [$path] holds the element '$element'"
           bad=1
           break ;;
      esac
    done
  done <<< "$paths"
done
[[ $bad -eq 0 ]] && echo "run paths of $# file(s): only absolute and \$ORIGIN elements"
exit $bad
