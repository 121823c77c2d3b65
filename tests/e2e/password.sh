#!/bin/sh
# A server that requires a password refuses the empty one with 501, as
# ftp-srv does: the program built with TALVEN_PASSWORD logs in with it, byte
# for byte, and stores the file; the program built without it is refused.
. "$SOURCE/tests/e2e/lib.sh"

# The TALVEN_PASSWORD of talven_with_password (tests/CMakeLists.txt).
password='pa;ss"w\ord 1'
head -c 20000 /dev/urandom >"$WORK/report.txt"

start_scripted_server --password "$password"
PROGRAM=$TALVEN_WITH_PASSWORD run_talven "$WORK/out" report.txt
wait_scripted_server
grep -qxF "PASS $password" "$RUNDIR/commands.log" || fail "PASS sent: $(grep '^PASS' "$RUNDIR/commands.log")"
cmp "$WORK/report.txt" "$ROOT/report.txt" || fail "the stored file differs from the local one"
[ "$(tail -n 1 "$WORK/out")" = "Fitxer report.txt enviat correctament" ] || fail "popup text: $(cat "$WORK/out")"

rm "$ROOT/report.txt"
start_scripted_server --password "$password"
run_talven "$WORK/out" report.txt
wait_scripted_server
grep -qx "PASS " "$RUNDIR/commands.log" || fail "PASS sent: $(grep '^PASS' "$RUNDIR/commands.log")"
[ ! -e "$ROOT/report.txt" ] || fail "stored without the password"
[ "$(tail -n 1 "$WORK/out")" = "No s'ha pogut connectar amb $SERVER_HOST" ] || fail "popup text: $(cat "$WORK/out")"
