#!/bin/sh
# The image's dynamic symbol table holds every function of the given headers
# and nothing else: callers reach the exported interface and cannot come to
# rely on the client's internals.
# Usage: exported_names.sh IMAGE HEADER...
set -eu
image=$1
shift
expected=$(cat "$@" | sed -n 's/^TALVEN_API [^(]*[ *]\([A-Za-z0-9_]*\)(.*/\1/p')
[ -n "$expected" ] || { echo "no exported names found in $*" >&2; exit 1; }
# Left out: the symbol version's own entry (type A), and data of other
# libraries copied into a program (its copy relocations).
copied=$(readelf -rW "$image" | awk '$3 ~ /_COPY$/ { sub(/@.*/, "", $5); print $5 }')
table=$(nm -D --defined-only "$image" | grep -v ' A ' | while read -r address type name; do
  printf '%s\n' "$copied" | grep -qx "${name%%@*}" || echo "$address $type $name"
done)
status=0
for name in $expected; do
  printf '%s\n' "$table" | grep -Eq " T $name(@@.*)?\$" || { echo "$image does not export $name" >&2; status=1; }
done
for name in $(printf '%s\n' "$table" | sed 's/^.* //; s/@@.*//'); do
  printf '%s\n' "$expected" | grep -qx "$name" || { echo "$image exports $name, which is no part of its interface" >&2; status=1; }
done
[ $status -ne 0 ] || echo "$image exports the $(echo $expected | wc -w) functions of its interface and nothing else"
exit $status
