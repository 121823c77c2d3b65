#!/bin/sh
# Local files that no new name can help: the first attempt is the only one,
# its row stays as it is, and after QUIT the popup says the file could not
# be sent.
# - A missing file: nothing reaches the server but the login and QUIT.
# - A file that grows while it is sent (32 MiB, more than loopback's buffers
#   hold, so the client is still sending when the server appends to it):
#   the data connection is reset, so the server sees a broken transfer and
#   answers 426 rather than confirming a torn copy.
. "$SOURCE/tests/e2e/lib.sh"

# expect_one_attempt PATH COMMANDS: one row, then the give-up message;
# COMMANDS those between the login and QUIT.
expect_one_attempt() {
  [ "$(wc -l <"$WORK/out")" = 2 ] || fail "$1: rows $(head -c 300 "$WORK/out")"
  [ "$(tail -n 1 "$WORK/out")" = "No s'ha pogut enviar el fitxer $1" ] || fail "$1: popup $(tail -n 1 "$WORK/out")"
  expect_output "$RUNDIR/commands.log" "USER $ACCOUNT\nPASS \n$2QUIT\n" "$1: commands sent"
}

start_scripted_server
run_talven "$WORK/out" /nonexistent/dir/x.txt
wait_scripted_server
expect_output "$WORK/out" "\nNo s'ha pogut enviar el fitxer /nonexistent/dir/x.txt\n" "missing file: output"
expect_one_attempt /nonexistent/dir/x.txt ""

head -c 33554432 /dev/zero >"$WORK/app.log"
start_scripted_server "grow:$WORK/app.log"
run_talven "$WORK/out" app.log
wait_scripted_server
expect_one_attempt app.log "TYPE I\nPASV\nSTOR app.log\n"
grep -q '^app.log reset ' "$RUNDIR/transfers.log" ||
  fail "the data connection was not reset: $(cat "$RUNDIR/transfers.log")"
