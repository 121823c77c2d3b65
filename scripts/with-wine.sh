#!/bin/sh
# Runs a command with a fresh Wine prefix whose server stays up for the whole
# command, so that each Windows test program starts quickly; the prefix and
# its server are removed afterwards.
set -eu
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
WINEPREFIX=$(mktemp -d /tmp/talven-wine.XXXXXX)
WINEDEBUG=-all
# No Mono or Gecko installers: the tests need neither.
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT INT TERM

"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1
# The server keeps the new registry in memory; restarting it writes the
# registry into the prefix, from where tests that need a Wine server of their
# own copy the prefix. wineboot then starts Wine's services again here: one
# started by a test would hold that test's output open and CTest would wait.
"$wineserver" -k
"$wineserver" -w
"$wineserver" -p
"$wine" wineboot >/dev/null 2>&1
"$@"
