#!/bin/sh
# TCP keepalive on the control connection: runs the upload test that holds
# the control connection idle for about 4 s while the data flows slowly, with
# a keepalive idle time and interval of 1 s, in a network namespace of its
# own, captures the loopback's packets with tcpdump and expects at least two
# packets from the client to the control port in that time (without keepalive there
# are none: the client has nothing to say until the completion reply).
# Usage: keepalive.sh UPLOAD_TEST
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
trap 'kill $dump 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 1
TALVEN_KEEPALIVE_TIMES=$work/times "$@" --gtest_filter=Upload.KeepsTheIdleControlConnectionAliveDuringASlowTransfer
sleep 0.5
kill $dump
wait $dump 2>/dev/null || true
[ -s "$work/times" ] || { echo "FAILED: the test noted no times"; exit 1; }
read -r began ended port <"$work/times"
# "TIME IP 127.0.0.1.CLIENTPORT > 127.0.0.1.PORT: ..."
probes=$(awk -v from="$began" -v to="$ended" -v port="$port" \
  '$1 > from + 0.5 && $1 < to && $5 ~ ("\\." port ":$")' "$work/capture" | wc -l)
echo "packets from the client to the control port while it was idle: $probes"
[ "$probes" -ge 2 ] || {
  cat "$work/capture"
  echo "FAILED: no keepalive probes on the idle control connection (port $port)"
  exit 1
}
