#!/bin/sh
# Runs a command with a fresh Wine prefix whose server stays up for the whole
# command, so that each Windows test program starts quickly; the prefix and
# its server are removed afterwards.
#
# Wine makes every socket inside its server process, so a Windows program's
# connections live in the server's network namespace, whatever namespace
# the program itself was started in. As root the server and the command
# therefore share one namespace of their own with only loopback up: the
# tests may serve on 127.0.0.1:21 there, and nothing leaves the host.
# TALVEN_WINE_NETNS=1 tells the tests that they run in such a namespace.
set -eu

if [ -z "${TALVEN_WINE_NETNS:-}" ] && [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  TALVEN_WINE_NETNS=1 exec unshare -n sh -c 'ip link set lo up && exec "$@"' with-wine "$0" "$@"
fi

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
"$@"
