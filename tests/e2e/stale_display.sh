#!/bin/sh
# DISPLAY names a display that does not exist: each installed dialog tool
# fails to show the message, which then goes to standard output, as without
# a display.
. "$SOURCE/tests/e2e/lib.sh"

display=90
while [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
tried=
for tool in zenity kdialog xmessage; do
  command -v "$tool" >/dev/null || continue
  tried="$tried $tool"
  mkdir "$WORK/$tool"
  ln -s "$(command -v "$tool")" "$WORK/$tool/$tool"
  (cd "$WORK" && env PATH="$WORK/$tool" DISPLAY=":$display" "$TALVEN" a.txt </dev/null >"$WORK/out" 2>/dev/null) ||
    fail "$tool: exit code $?"
  expect_output "$WORK/out" "No s'ha pogut connectar amb $SERVER_HOST\n" "$tool: output"
done
[ -n "$tried" ] || { echo "skipped: no dialog tool (zenity, kdialog, xmessage) is installed"; exit $SKIP; }
