#!/bin/sh
# Fails when any tracked file still holds the markers of an unresolved merge
# conflict, so that no merge can land one unnoticed.
set -eu
cd "$(dirname "$0")/.."
if git grep -nE '^(<<<<<<<|>>>>>>>)( |$)|^=======$' -- . ; then
  echo "check-merge-markers.sh: unresolved merge conflict markers (above)" >&2
  exit 1
fi
