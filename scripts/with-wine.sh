#!/bin/sh
# Runs a command with a fresh Wine prefix whose server stays up for the whole
# command, so that each Windows test program starts quickly; the prefix, its
# server and the display below are removed afterwards.
#
# Wine makes every socket inside its server process, so a Windows program's
# connections live in the server's network namespace, whatever namespace
# the program itself was started in. As root the server and the command
# therefore share one namespace of their own with only loopback up: the
# tests may serve on 127.0.0.1:21 there, and nothing leaves the host.
# TALVEN_WINE_NETNS=1 tells the tests that they run in such a namespace.
#
# Wine's desktop process takes the display of the first program that opens
# a window and keeps it for the prefix's life, so the whole run gets one
# virtual display (Xvfb, with twm as its window manager) from the start; no
# window lands on the caller's screen. twm gets a configuration of its own:
# by default it waits for a person to place every new window, and the window
# Wine opens while it updates a slow prefix would then hold wineboot forever.
#
# Every wait here is bounded and says what did not come up.
set -eu

if [ -z "${TALVEN_WINE_NETNS:-}" ] && [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  TALVEN_WINE_NETNS=1 exec unshare -n sh -c 'ip link set lo up && exec "$@"' with-wine "$0" "$@"
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
work=$(mktemp -d /tmp/talven-wine.XXXXXX)
WINEPREFIX=$work/prefix
WINEDEBUG=-all
# No Mono or Gecko installers: the tests need neither. No debugger either: a
# program that crashes ends at once instead of waiting in winedbg.
WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY
xvfb_pid=
twm_pid=

cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  for pid in $twm_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

start_display() {
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  [ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; echo "with-wine.sh: the virtual display (Xvfb) did not come up within 10 s" >&2; exit 1; }
  DISPLAY=:$(cat "$work/display")
  export DISPLAY
  # With a window manager a dismissed popup closes at once.
  if command -v twm >/dev/null; then
    printf '%s\n' 'RandomPlacement' 'UsePPosition "on"' 'NoGrabServer' >"$work/twmrc"
    twm -f "$work/twmrc" >"$work/twm.log" 2>&1 &
    twm_pid=$!
  fi
}

# bounded SECONDS WHAT COMMAND...: runs COMMAND, failing the run with a message
# naming WHAT when it has not finished within SECONDS.
bounded() {
  limit=$1 what=$2
  shift 2
  status=0
  timeout -k 5 "$limit" "$@" || status=$?
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "with-wine.sh: $what did not come up within $limit s" >&2
    exit 1
  fi
  return "$status"
}

if command -v Xvfb >/dev/null; then start_display; fi
mkdir "$WINEPREFIX"
bounded 30 "the Wine server" "$wineserver" -p
bounded 300 "the Wine prefix (wineboot -i)" "$wine" wineboot -i >/dev/null 2>&1
# The server keeps the new registry in memory; restarting it writes the
# registry into the prefix, from where tests that need a Wine server of their
# own copy the prefix. wineboot then starts Wine's services again here: one
# started by a test would hold that test's output open and CTest would wait.
"$wineserver" -k
bounded 60 "the Wine server's stop" "$wineserver" -w
bounded 30 "the Wine server" "$wineserver" -p
bounded 120 "Wine's services (wineboot)" "$wine" wineboot >/dev/null 2>&1
"$@"
