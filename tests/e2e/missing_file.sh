#!/bin/sh
# A local file that does not exist: nothing reaches the server, every
# attempt adds an empty row, and after the tenth the session is closed and
# the popup says the file could not be sent.
. "$SOURCE/tests/e2e/lib.sh"

start_scripted_server
run_talven "$WORK/out" /nonexistent/dir/x.txt
wait_scripted_server
expect_output "$WORK/out" "\n\n\n\n\n\n\n\n\n\nNo s'ha pogut enviar el fitxer /nonexistent/dir/x.txt\n" "output"
expect_output "$RUNDIR/commands.log" "USER $ACCOUNT\nPASS \nQUIT\n" "commands sent"
