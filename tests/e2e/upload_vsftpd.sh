#!/bin/sh
# A real server (vsftpd) takes the file under its own name, byte for byte;
# the popup names the local path as given. On a terminal the row shows the
# remote name and the last progress caption from column 14.
. "$SOURCE/tests/e2e/lib.sh"

start_vsftpd
mkdir "$WORK/My Files"
head -c 20000 /dev/urandom >"$WORK/My Files/a b.bin"
run_talven "$WORK/out" "My Files/a b.bin"
cmp "$WORK/My Files/a b.bin" "$ROOT/a b.bin" || fail "the stored file differs from the local one"
[ "$(tail -n 1 "$WORK/out")" = "Fitxer My Files/a b.bin enviat correctament" ] ||
  fail "popup text: $(cat "$WORK/out")"

head -c 20000 /dev/urandom >"$WORK/sample.bin"
run_talven_on_terminal "$WORK/screen" sample.bin
cmp "$WORK/sample.bin" "$ROOT/sample.bin" || fail "the stored sample differs from the local one"
expect_output "$WORK/screen" 'sample.bin   20000 / 20000
Talven: Fitxer sample.bin enviat correctament
[OK]
exit code 0\n' "the terminal's rows"
