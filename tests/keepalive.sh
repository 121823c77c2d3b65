#!/bin/sh
# TCP keepalive on the control connection: runs the upload test that holds
# the control connection idle for about 4 s while the data flows slowly, with
# a keepalive idle time and interval of 1 s, in a network namespace of its
# own, captures the loopback's packets with tcpdump and expects at least two
# packets from the client to the control port in that time (without keepalive there
# are none: the client has nothing to say until the completion reply).
# Usage: keepalive.sh UPLOAD_TEST [WINE]
# With WINE (the loader), UPLOAD_TEST is a Windows program. Wine makes every
# socket in its server process, in the namespace that process started in:
# the test starts a Wine server of its own here, on a copy of the caller's
# prefix (WINEPREFIX, as scripts/with-wine.sh leaves it), so that the probes
# the server's sockets send (Wine hands SIO_KEEPALIVE_VALS on to Linux as
# TCP_KEEPIDLE and TCP_KEEPINTVL, in whole seconds) pass the capture.
set -eu
if [ "$(id -u)" != 0 ] || ! command -v tcpdump >/dev/null || ! command -v unshare >/dev/null; then
  echo "skipped: needs root, unshare and tcpdump"
  exit 77
fi
if [ -z "${TALVEN_KEEPALIVE_NETNS:-}" ]; then
  TALVEN_KEEPALIVE_NETNS=1 exec unshare -n sh "$0" "$@"
fi
ip link set lo up
work=$(mktemp -d /tmp/talven-keepalive.XXXXXX)
tcpdump -i lo -nn -tt -l -U tcp >"$work/capture" 2>"$work/tcpdump.err" &
dump=$!
trap 'kill $dump 2>/dev/null || true; [ -z "${WINESERVER:-}" ] || { "$WINESERVER" -k; timeout 60 "$WINESERVER" -w; } 2>/dev/null; rm -rf "$work"' EXIT
if [ -n "${2:-}" ]; then
  source=${WINEPREFIX:-$HOME/.wine}
  [ -f "$source/system.reg" ] || { echo "skipped: needs a Wine prefix (scripts/with-wine.sh)"; exit 77; }
  WINEPREFIX=$work/prefix
  export WINEPREFIX
  . "$(dirname "$0")/support/wine_prefix.sh"
  link_wine_prefix "$source" "$WINEPREFIX"
  WINESERVER=${2%/*}/wineserver64
  timeout 30 "$WINESERVER" -p
  set -- "$2" "$1"
fi
sleep 1
TALVEN_KEEPALIVE_TIMES=$work/times env -u DISPLAY "$@" --gtest_filter=Upload.KeepsTheIdleControlConnectionAliveDuringASlowTransfer
sleep 0.5
kill $dump
wait $dump 2>/dev/null || true
[ -s "$work/times" ] || { echo "FAILED: the test noted no times"; exit 1; }
# (A Windows program ends the line with CR LF.)
read -r began ended port <<EOF
$(tr -d '\r' <"$work/times")
EOF
# "TIME IP 127.0.0.1.CLIENTPORT > 127.0.0.1.PORT: ..."
probes=$(awk -v from="$began" -v to="$ended" -v port="$port" \
  '$1 > from + 0.5 && $1 < to && $5 ~ ("\\." port ":$")' "$work/capture" | wc -l)
echo "packets from the client to the control port while it was idle: $probes"
[ "$probes" -ge 2 ] || {
  cat "$work/capture"
  echo "FAILED: no keepalive probes on the idle control connection (port $port, idle from $began to $ended)"
  exit 1
}
