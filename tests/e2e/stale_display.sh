#!/bin/sh
# DISPLAY names a display that does not exist, or one that takes the
# connection and never answers (each tool would wait for it for ever): each
# installed dialog tool fails to show the message, or is not started, and the
# message goes to standard output, as without a display.
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
if [ -n "$tried" ]; then
  mkdir -p /tmp/.X11-unix
  python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(8)
time.sleep(60)' "/tmp/.X11-unix/X$display" &
  listener=$!
  trap 'kill $listener 2>/dev/null; rm -f "/tmp/.X11-unix/X$display"; cleanup' EXIT
  while [ ! -S "/tmp/.X11-unix/X$display" ]; do sleep 0.1; done
  (cd "$WORK" && env DISPLAY=":$display" timeout 30 "$TALVEN" a.txt </dev/null >"$WORK/out" 2>/dev/null) ||
    fail "silent display: exit code $?"
  expect_output "$WORK/out" "No s'ha pogut connectar amb $SERVER_HOST\n" "silent display: output"
fi
[ -n "$tried" ] || { echo "skipped: no dialog tool (zenity, kdialog, xmessage) is installed"; exit $SKIP; }
