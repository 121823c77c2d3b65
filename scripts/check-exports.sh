#!/bin/sh
# Checks that every function declared in the exported header is exported by
# name, undecorated, from each Windows image given, and nothing else.
# Usage: check-exports.sh OBJDUMP IMAGE...
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
objdump=$1
shift
names=$(sed -n 's/^TALVEN_API .* TALVEN_CALL \([A-Za-z0-9_]*\)(.*/\1/p' "$here/ftp/talvenftp.h")
[ -n "$names" ] || { echo "no exported names found in ftp/talvenftp.h" >&2; exit 1; }
status=0
for image in "$@"; do
  table=$("$objdump" -p "$image" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
  for name in $names; do
    if ! printf '%s\n' "$table" | grep -q "\] $name\$"; then
      echo "$image does not export $name undecorated" >&2
      status=1
    fi
  done
  for name in $(printf '%s\n' "$table" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p'); do
    if ! printf '%s\n' "$names" | grep -qx "$name"; then
      echo "$image exports $name, which is no part of its interface" >&2
      status=1
    fi
  done
  if printf '%s\n' "$table" | grep -q '@[0-9]*$'; then
    echo "$image exports decorated names:" >&2
    printf '%s\n' "$table" | grep '@[0-9]*$' >&2
    status=1
  fi
  [ $status -eq 0 ] && echo "$image exports the $(echo $names | wc -w) names undecorated and nothing else"
done
exit $status
