#!/bin/sh
# A connection lost after the server accepted STOR: the program opens a new
# session and continues the same remote name from the size the server holds
# (SIZE, REST, STOR), each failed attempt keeping its row, at most five
# times. Against the scripted server with the short-wait build (a 2.1 s
# wait, pauses before a reconnect of 0.5 s growing to 3 s):
# - the data connection reset after N bytes, once and twice;
# - the server that stops reading after N bytes (the data stalls a wait);
# - a server that resets every attempt: six attempts, then the give-up
#   message.
. "$SOURCE/tests/e2e/lib.sh"

PROGRAM=$TALVEN_SHORT_WAIT
head -c 8000000 /dev/urandom >"$WORK/big.bin"
size=8000000
stored="Fitxer big.bin enviat correctament"

# check ROWS POPUP ANSWER...: the program's rows (the popup's line included).
check() {
  rows=$1 popup=$2
  shift 2
  rm -f "$ROOT/big.bin"
  start_scripted_server "$@"
  run_talven "$WORK/out" big.bin
  wait_scripted_server
  [ "$(wc -l <"$WORK/out")" = "$rows" ] || fail "$*: rows $(cat "$WORK/out")"
  [ "$(tail -n 1 "$WORK/out")" = "$popup" ] || fail "$*: popup $(tail -n 1 "$WORK/out")"
}

# resumed_at OFFSET...: the STORs went under the file's own name, each after
# REST at the offset, and the last one sent exactly the rest of the file.
resumed_at() {
  cmp "$WORK/big.bin" "$ROOT/big.bin" || fail "$*: the stored file differs from the local one"
  [ "$(grep -c '^STOR big.bin$' "$RUNDIR/commands.log")" = $(($# + 1)) ] || fail "$*: STORs $(grep STOR "$RUNDIR/commands.log")"
  [ "$(grep '^REST' "$RUNDIR/commands.log" | tr '\n' ' ')" = "$(printf 'REST %s ' "$@")" ] ||
    fail "$*: $(grep '^REST' "$RUNDIR/commands.log")"
  eval last=\${$#}
  [ "$(tail -n 1 "$RUNDIR/transfers.log")" = "big.bin end $((size - last))" ] ||
    fail "$*: the last transfer $(tail -n 1 "$RUNDIR/transfers.log")"
  [ "$(tail -n 1 "$RUNDIR/commands.log")" = QUIT ] || fail "$*: no QUIT at the end"
}

check 3 "$stored" cut:3000000
resumed_at 3000000
check 4 "$stored" cut:1000000 cut:1500000
resumed_at 1000000 2500000
check 3 "$stored" stall:2000000
resumed_at 2000000
check 7 "No s'ha pogut enviar el fitxer big.bin" cut:100000 cut:100000 cut:100000 cut:100000 cut:100000 cut:100000
[ "$(grep -c '^USER' "$RUNDIR/commands.log")" = 6 ] || fail "sessions: $(grep -c '^USER' "$RUNDIR/commands.log")"
