#!/bin/sh
# Nothing listens on port 21: no attempt is made, nothing is printed but the
# popup's connection message, and the exit code is still 0.
. "$SOURCE/tests/e2e/lib.sh"

echo data >"$WORK/a.txt"
run_talven "$WORK/out" a.txt
expect_output "$WORK/out" "No s'ha pogut connectar amb $SERVER_HOST\n" "output"
