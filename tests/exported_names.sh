#!/bin/sh
# The program exports every function of the exported header by name in its
# dynamic symbol table, so that other programs can call it as a library.
# Usage: exported_names.sh PROGRAM HEADER
set -eu
names=$(sed -n 's/^TALVEN_API .* TALVEN_CALL \([A-Za-z0-9_]*\)(.*/\1/p' "$2")
[ -n "$names" ] || { echo "no exported names found in $2" >&2; exit 1; }
table=$(nm -D --defined-only "$1")
status=0
for name in $names; do
  printf '%s\n' "$table" | grep -q " T $name\$" || { echo "$1 does not export $name" >&2; status=1; }
done
exit $status
