#!/bin/sh
# Over IPv6: the program's server host names ::1 alone, where vsftpd listens.
# The file goes over an EPSV data connection and arrives byte for byte.
. "$SOURCE/tests/e2e/lib.sh"

use_hosts "::1 localhost"
start_vsftpd ::1
head -c 300000 /dev/urandom >"$WORK/v6.bin"
run_talven "$WORK/out" v6.bin
cmp "$WORK/v6.bin" "$ROOT/v6.bin" || fail "the stored file differs from the local one"
[ "$(tail -n 1 "$WORK/out")" = "Fitxer v6.bin enviat correctament" ] || fail "popup text: $(cat "$WORK/out")"
grep -q 'Client "::1", "EPSV"' "$RUNDIR/vsftpd.log" || fail "no EPSV from ::1 in the server's log"
