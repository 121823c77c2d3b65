#!/bin/sh
# The server refuses the first two STORs (553, then 550): each attempt's row
# ends with the reason's English text, the next attempt goes out under a
# number followed by the suffix, and the third is stored under that name.
# Then three files on one command line (as Send To names them): each is sent
# in turn on one session with its own renames, and one popup has a line for
# each, in order.
. "$SOURCE/tests/e2e/lib.sh"

start_scripted_server "553 Bad file name." "550 Permission denied."
head -c 20000 /dev/urandom >"$WORK/inv.2024.pdf"
run_talven_on_terminal "$WORK/screen" inv.2024.pdf
wait_scripted_server

stored=$(sed -n 's/^STOR //p' "$RUNDIR/commands.log")
[ "$(echo "$stored" | wc -l)" = 3 ] || fail "STORs sent: $stored"
first=$(echo "$stored" | sed -n 1p)
second=$(echo "$stored" | sed -n 2p)
third=$(echo "$stored" | sed -n 3p)
[ "$first" = inv.2024.pdf ] || fail "first remote name $first"
for name in "$second" "$third"; do
  echo "$name" | grep -Eqx '(0|[1-9][0-9]{0,7})\.pdf' || fail "retry name $name is not a number and .pdf"
done
cmp "$WORK/inv.2024.pdf" "$ROOT/$third" || fail "the stored file differs from the local one"
[ "$(tail -n 1 "$RUNDIR/commands.log")" = QUIT ] || fail "no QUIT at the end"

# Rows: the remote name padded to the 14-column zone, then the reason; on
# the stored attempt the caption from column 14.
{
  printf '%-14s%s\n' "$first" "Bad File Name"
  printf '%-14s%s\n' "$second" "Access Denied"
  printf '%-13s%s\n' "$third" "20000 / 20000"
  printf '%s\n' "Talven: Fitxer inv.2024.pdf enviat correctament" "[OK]" "exit code 0"
} >"$WORK/expected-screen"
cmp -s "$WORK/screen" "$WORK/expected-screen" || {
  diff "$WORK/expected-screen" "$WORK/screen"
  fail "the terminal's rows"
}

start_scripted_server "553 Bad file name."
head -c 3000 /dev/urandom >"$WORK/notes.txt"
run_talven_on_terminal "$WORK/screen" inv.2024.pdf missing.txt notes.txt
wait_scripted_server
stored=$(sed -n 's/^STOR //p' "$RUNDIR/commands.log")
[ "$(echo "$stored" | sed -n 1p)" = inv.2024.pdf ] || fail "STORs sent: $stored"
renamed=$(echo "$stored" | sed -n 2p)
echo "$renamed" | grep -Eqx '(0|[1-9][0-9]{0,7})\.pdf' || fail "STORs sent: $stored"
[ "$(echo "$stored" | sed -n '3,$p')" = notes.txt ] || fail "STORs sent: $stored"
[ "$(grep -c '^USER ' "$RUNDIR/commands.log")" = 1 ] || fail "not one session"
cmp "$WORK/inv.2024.pdf" "$ROOT/$renamed" && cmp "$WORK/notes.txt" "$ROOT/notes.txt" ||
  fail "the stored files differ from the local ones"
{
  printf '%s\n' "Talven: Fitxer inv.2024.pdf enviat correctament" "No s'ha pogut enviar el fitxer missing.txt" \
    "Fitxer notes.txt enviat correctament" "[OK]" "exit code 0"
} >"$WORK/expected-popup"
tail -n 5 "$WORK/screen" | cmp -s - "$WORK/expected-popup" || {
  cat "$WORK/screen"
  fail "the popup's lines for three files"
}
