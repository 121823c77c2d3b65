#!/bin/sh
# The program sends a 16 MiB file to a real server (the first argument:
# vsftpd, pure-ftpd, proftpd or pyftpdlib) through a relay that breaks the
# first upload (tests/support/breaking_relay.py), with the short-wait build
# (a 2.1 s wait, pauses before a reconnect from 0.5 s). The file is of tens of
# MiB, not hundreds, to keep the test short; the mechanism is the same.
# - the data connection reset at about 40 %, and stalled there: one file on
#   the server under the file's own name, equal byte for byte, the success
#   message, and no more bytes sent than the file and what the break lost;
# - the completion reply lost (the control connection silent from the end
#   of the data on): the success message, one copy, one data connection.
. "$SOURCE/tests/e2e/lib.sh"

SERVER=${1:?server name}
# pure-ftpd's anonymous account may not resume: a virtual account may.
export FTP_ACCOUNT=puredb
PROGRAM=$TALVEN_SHORT_WAIT
size=$((16 << 20))
cut=$((size * 2 / 5))
head -c $size /dev/urandom >"$WORK/big.bin"
RELAY_PID=
stop_relay() { if [ -n "$RELAY_PID" ]; then kill "$RELAY_PID" 2>/dev/null || true; wait "$RELAY_PID" 2>/dev/null || true; RELAY_PID=; fi; }
# A relay left by a failed check would hold port 21 (under Wine, of the
# namespace the whole Wine run shares).
trap 'stop_relay; cleanup' EXIT

# check FAULT ROWS: one run through a fresh server and relay.
check() {
  rm -rf "$ROOT" "$RUNDIR"
  mkdir -p "$ROOT" "$RUNDIR"
  "$SOURCE/tests/servers/ftp-server.sh" start "$SERVER" 2121 "$ROOT" "$RUNDIR"
  /usr/bin/python3 "$SOURCE/tests/support/breaking_relay.py" 127.0.0.1 2121 "$WORK/relay.log" "$1" &
  RELAY_PID=$!
  for _ in $(seq 100); do [ -e "$WORK/relay.log.ready" ] && break; sleep 0.1; done
  run_talven "$WORK/out" big.bin
  stop_relay
  rm -f "$WORK/relay.log.ready"
  "$SOURCE/tests/servers/ftp-server.sh" stop "$RUNDIR"
  [ "$(tail -n 1 "$WORK/out")" = "Fitxer big.bin enviat correctament" ] || { cat "$WORK/relay.log" "$RUNDIR"/*.log | tail -40; }
  [ "$(tail -n 1 "$WORK/out")" = "Fitxer big.bin enviat correctament" ] || fail "$1: $(cat "$WORK/out")"
  [ "$(wc -l <"$WORK/out")" = "$2" ] || fail "$1: rows $(cat "$WORK/out")"
  [ "$(ls "$ROOT")" = big.bin ] || fail "$1: the server holds $(ls "$ROOT")"
  cmp "$WORK/big.bin" "$ROOT/big.bin" || fail "$1: the stored file differs from the local one"
  sent=$(awk '{ total += $2 } END { print total }' "$WORK/relay.log")
  echo "$SERVER $1: data connections $(wc -l <"$WORK/relay.log"), bytes sent $sent of $size"
}

for fault in reset:$cut stall:$cut; do
  check $fault 3
  # What the break lost in flight is sent again; nothing else is: no data
  # connection starts again from byte 0.
  [ "$sent" -le $((size + (8 << 20))) ] || fail "$fault: $sent bytes sent for $size"
  awk -v size=$size '$2 >= size { exit 1 }' "$WORK/relay.log" || fail "$fault: the whole file sent again"
done
check drop 2
[ "$(cat "$WORK/relay.log")" = "data $size" ] || fail "drop: data connections $(cat "$WORK/relay.log")"
