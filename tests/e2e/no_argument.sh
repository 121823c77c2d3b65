#!/bin/sh
# No argument: the local path is empty, so the one attempt fails before
# anything is sent, and no new name would help.
. "$SOURCE/tests/e2e/lib.sh"

start_scripted_server
run_talven "$WORK/out"
wait_scripted_server
expect_output "$WORK/out" "\nNo s'ha pogut enviar el fitxer \n" "output"
expect_output "$RUNDIR/commands.log" "USER $ACCOUNT\nPASS \nQUIT\n" "commands sent"
