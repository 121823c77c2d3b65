#!/bin/sh
# talven.exe under Wine with its output redirected to a file, where the
# console calls fail: each row still holds the remote name padded to the
# 14-column zone, then the reason or the last progress caption, and CR LF.
# Without a display the script host returns at once; TALVEN.JS is gone
# afterwards and the exit code is 0.
. "$SOURCE/tests/win32/wine_e2e_lib.sh"

(cd "$WORK" && env -u DISPLAY "$WINE" "$TALVEN" "$LOCAL_PATH" >"$WORK/out" </dev/null) ||
  fail "exit code $? (expected 0)"
[ ! -e "$WORK/TALVEN.JS" ] || fail "TALVEN.JS left in the current directory"
check_stored

printf '%-14s%s\r\n' "$FIRST" "Bad File Name" "$SECOND" "20000 / 20000" >"$WORK/expected"
cmp -s "$WORK/expected" "$WORK/out" || {
  echo "--- expected"; od -c "$WORK/expected"
  echo "--- got"; od -c "$WORK/out"
  fail "the rows written to the file"
}
echo "passed: stored as $SECOND, rows written to the file"
