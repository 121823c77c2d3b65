#!/bin/sh
# How an upload attempt ends, against the build of the program with a 2.1 s
# stream wait (and pauses before a reconnect a tenth of the real ones):
# - a 250 confirmation stores the file: the success message, after QUIT;
# - a server that hangs after the data, one that confirms only after the
#   wait, and one that closes the control connection lose the session: the
#   completion reply is missing, so a new session asks the file's size, finds
#   it whole and reports it stored, with nothing sent again;
# - a refusal before STOR (TYPE I, PASV) cannot be cured by a new name: one
#   attempt, QUIT, the give-up message.
# Each run ends within about one wait.
. "$SOURCE/tests/e2e/lib.sh"

PROGRAM=$TALVEN_SHORT_WAIT
echo data >"$WORK/a.txt"

# check ANSWER POPUP COMMANDS: COMMANDS are those after the first login.
check() {
  rm -f "$ROOT/a.txt"
  start_scripted_server "$1"
  started=$(date +%s%N)
  run_talven "$WORK/out" a.txt
  elapsed=$((($(date +%s%N) - started) / 1000000))
  wait_scripted_server
  [ "$(wc -l <"$WORK/out")" = 2 ] || fail "$1: rows $(cat "$WORK/out")"
  [ "$(tail -n 1 "$WORK/out")" = "$2" ] || fail "$1: popup $(tail -n 1 "$WORK/out")"
  expect_output "$RUNDIR/commands.log" "USER $ACCOUNT\nPASS \n$3" "$1: commands sent"
  [ "$elapsed" -lt 4000 ] || fail "$1: the run took $elapsed ms, more than one wait"
}

stored="Fitxer a.txt enviat correctament"
lost="No s'ha pogut enviar el fitxer a.txt"
sent="TYPE I\nPASV\nSTOR a.txt\n"
check "250 Stored." "$stored" "${sent}QUIT\n"
cmp "$WORK/a.txt" "$ROOT/a.txt" || fail "250: the stored file differs from the local one"
for answer in hang late close; do
  check $answer "$stored" "${sent}USER $ACCOUNT\nPASS \nTYPE I\nSIZE a.txt\nQUIT\n"
  cmp "$WORK/a.txt" "$ROOT/a.txt" || fail "$answer: the stored file differs from the local one"
  [ "$(wc -l <"$RUNDIR/transfers.log")" = 1 ] || fail "$answer: transfers $(cat "$RUNDIR/transfers.log")"
done
check "TYPE=425 Not now." "$lost" "TYPE I\nQUIT\n"
check "PASV=425 Cannot open a passive port." "$lost" "TYPE I\nPASV\nQUIT\n"
