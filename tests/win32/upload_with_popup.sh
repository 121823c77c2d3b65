#!/bin/sh
# talven.exe under Wine, end to end: on a terminal and with a display, it
# uploads a file named by a quoted path with a blank to a server on
# 127.0.0.1:21 that refuses the first STOR. The refusal ends the first row,
# the retry's row shows the progress; the file arrives byte for byte under a
# numeric name. While the popup is shown, TALVEN.JS holds exactly the two
# lines of the success message; after OK it is gone and the exit code is 0.
#
# Run by CTest inside scripts/with-wine.sh (the Wine prefix, its server, the
# network namespace they share and a virtual display with a window manager),
# with TALVEN (talven.exe), WINE (the loader), SOURCE (the source tree) and
# SERVER_HOST set.
set -eu

TALVEN=${TALVEN:?talven.exe}
WINE=${WINE:?the Wine loader}
SOURCE=${SOURCE:?the source tree}
SERVER_HOST=${SERVER_HOST:?the build-time server host}
SKIP=77

case $SERVER_HOST in
  localhost|127.0.0.1) ;;
  *) echo "skipped: the program is built for $SERVER_HOST, not for loopback"; exit $SKIP ;;
esac
if [ -z "${TALVEN_WINE_NETNS:-}" ]; then
  echo "skipped: needs the network namespace of the Wine run (scripts/with-wine.sh as root)"
  exit $SKIP
fi
if [ -z "${DISPLAY:-}" ]; then
  echo "skipped: needs the display of the Wine run (scripts/with-wine.sh with Xvfb installed)"
  exit $SKIP
fi
for tool in xdotool tmux python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit $SKIP; }
done

WORK=$(mktemp -d /tmp/talven-wine-e2e.XXXXXX)
ROOT=$WORK/root
RUNDIR=$WORK/run
TERMINAL=$WORK/tmux.sock
mkdir "$ROOT" "$RUNDIR"
SERVER_PID=

cleanup() {
  if [ -S "$TERMINAL" ]; then tmux -S "$TERMINAL" kill-server 2>/dev/null || true; fi
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Polls COMMAND every tenth of a second for at most SECONDS.
within() {
  seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

start_server() {
  /usr/bin/python3 "$SOURCE/tests/e2e/scripted_ftpd.py" "$ROOT" "$RUNDIR" "553 Bad file name." \
    >"$RUNDIR/server.log" 2>&1 &
  SERVER_PID=$!
  within 10 test -e "$RUNDIR/ready" || fail "the scripted server did not start: $(cat "$RUNDIR/server.log")"
}

screen() {
  tmux -S "$TERMINAL" capture-pane -p -t talven | sed 's/ *$//'
}

popup_window() {
  xdotool search --onlyvisible --name '^Talven$' 2>/dev/null | head -n 1
}

popup_shown() { [ -n "$(popup_window)" ]; }
popup_gone() { [ -z "$(popup_window)" ]; }
program_ended() { screen | grep -q '^exit code'; }

start_server
mkdir "$WORK/My Files"
head -c 20000 /dev/urandom >"$WORK/My Files/inv.2024.pdf"

# Wine quotes the argument that holds a blank when it builds the Windows
# command line; the program splits it back from GetCommandLineA.
tmux -S "$TERMINAL" -f /dev/null new-session -d -s talven -x 100 -y 30 -c "$WORK" \
  sh -c '"$@" 2>wine.err; echo "exit code $?"; sleep 600' talven "$WINE" "$TALVEN" 'My Files\inv.2024.pdf'

within 90 popup_shown || { screen; cat "$WORK/wine.err"; fail "no popup titled Talven appeared"; }
printf "%s\r\n" "var wshShell=WScript.CreateObject('WScript.Shell');" \
  "wshShell.Popup('Fitxer My Files\\\\inv.2024.pdf enviat correctament',0,'Talven',0x0);" >"$WORK/expected.js"
cmp "$WORK/expected.js" "$WORK/TALVEN.JS" || {
  od -c "$WORK/TALVEN.JS" | head -20
  fail "TALVEN.JS while the popup is shown"
}
program_ended && fail "the program ended while its popup was still shown"

xdotool key --window "$(popup_window)" Return
within 30 popup_gone || fail "the popup did not close after Return"
within 30 program_ended || { screen; fail "the program did not end after the popup closed"; }

[ ! -e "$WORK/TALVEN.JS" ] || fail "TALVEN.JS left in the current directory"
kill "$SERVER_PID" 2>/dev/null || true
wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=

stored=$(sed -n 's/^STOR //p' "$RUNDIR/commands.log")
first=$(echo "$stored" | sed -n 1p)
second=$(echo "$stored" | sed -n 2p)
[ "$first" = inv.2024.pdf ] || fail "first remote name $first"
echo "$second" | grep -Eqx '(0|[1-9][0-9]{0,7})\.pdf' || fail "retry name $second is not a number and .pdf"
cmp "$WORK/My Files/inv.2024.pdf" "$ROOT/$second" || fail "the stored file differs from the local one"
[ "$(tail -n 1 "$RUNDIR/commands.log")" = QUIT ] || fail "no QUIT at the end"

{
  printf '%-14s%s\n' "$first" "Bad File Name"
  printf '%-13s%s\n' "$second" "20000 / 20000"
  printf '%s\n' "exit code 0"
} >"$WORK/expected-screen"
screen | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$WORK/screen"
cmp -s "$WORK/expected-screen" "$WORK/screen" || {
  diff "$WORK/expected-screen" "$WORK/screen"
  fail "the terminal's rows"
}
echo "passed: stored as $second, popup shown and dismissed, TALVEN.JS checked and removed"
