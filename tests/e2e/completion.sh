#!/bin/sh
# How the server ends an upload whose data it has taken, against the build
# of the program with a 2.1 s stream wait:
# - a 250 confirmation stores the file: the success message, after QUIT;
# - a server that hangs, one that confirms only after the wait, and one that
#   closes the control connection lose the session: no second attempt, no
#   QUIT, the give-up message, and the run ends within about one wait.
. "$SOURCE/tests/e2e/lib.sh"

PROGRAM=$TALVEN_SHORT_WAIT
echo data >"$WORK/a.txt"

# check ANSWER POPUP LAST_COMMANDS
check() {
  start_scripted_server "$1"
  started=$(date +%s%N)
  run_talven "$WORK/out" a.txt
  elapsed=$((($(date +%s%N) - started) / 1000000))
  wait_scripted_server
  [ "$(wc -l <"$WORK/out")" = 2 ] || fail "$1: rows $(cat "$WORK/out")"
  [ "$(tail -n 1 "$WORK/out")" = "$2" ] || fail "$1: popup $(tail -n 1 "$WORK/out")"
  expect_output "$RUNDIR/commands.log" "USER $ACCOUNT\nPASS \nTYPE I\nPASV\nSTOR a.txt\n$3" "$1: commands sent"
  [ "$elapsed" -lt 4000 ] || fail "$1: the run took $elapsed ms, more than one wait"
}

lost="No s'ha pogut enviar el fitxer a.txt"
check "250 Stored." "Fitxer a.txt enviat correctament" "QUIT\n"
cmp "$WORK/a.txt" "$ROOT/a.txt" || fail "250: the stored file differs from the local one"
check hang "$lost" ""
check late "$lost" ""
check close "$lost" ""
