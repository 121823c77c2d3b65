#!/bin/sh
# talven.exe under Wine on a terminal, with its popup on the Wine run's
# display: the refused first attempt's row ends with the reason, the retry's
# row shows the progress, and the file arrives byte for byte under a numeric
# name. While the popup is shown, TALVEN.JS holds exactly the two lines of
# the success message; after OK is pressed it is gone and the exit code is 0.
# Then, with the server gone and a directory named TALVEN.JS in the current
# directory, the system's message box titled Talven reports the failed
# connection in its place; Return dismisses it, the directory stays and the
# exit code is 0.
. "$SOURCE/tests/win32/wine_e2e_lib.sh"

[ -n "${DISPLAY:-}" ] || { echo "skipped: needs the display of the Wine run (Xvfb)"; exit $SKIP; }

screen() {
  timeout 10 tmux -S "$TERMINAL" capture-pane -p -t talven | sed 's/ *$//'
}
popup_window() {
  talven_windows | head -n 1
}
popup_shown() { [ -n "$(popup_window)" ]; }
popup_gone() { [ -z "$(popup_window)" ]; }
program_ended() { screen | grep -q '^exit code'; }

tmux -S "$TERMINAL" -f /dev/null new-session -d -s talven -x 100 -y 30 -c "$WORK" \
  sh -c '"$@" 2>wine.err; echo "exit code $?"; sleep 600' talven "$WINE" "$TALVEN" "$LOCAL_PATH"

within 90 popup_shown || { screen; cat "$WORK/wine.err"; fail "no popup titled Talven appeared"; }
printf "%s\r\n" "var wshShell=WScript.CreateObject('WScript.Shell');" \
  "wshShell.Popup('Fitxer My Files\\\\inv.2024.pdf enviat correctament',0,'Talven',0x0);" >"$WORK/expected.js"
cmp "$WORK/expected.js" "$WORK/TALVEN.JS" || {
  od -c "$WORK/TALVEN.JS" | head -20
  fail "TALVEN.JS while the popup is shown"
}
program_ended && fail "the program ended while its popup was still shown"

timeout 10 xdotool key --window "$(popup_window)" Return
within 30 popup_gone || fail "the popup did not close after Return"
within 30 program_ended || { screen; fail "the program did not end after the popup closed"; }
[ ! -e "$WORK/TALVEN.JS" ] || fail "TALVEN.JS left in the current directory"
check_stored

{
  printf '%-14s%s\n' "$FIRST" "Bad File Name"
  printf '%-13s%s\n' "$SECOND" "20000 / 20000"
  printf '%s\n' "exit code 0"
} >"$WORK/expected-screen"
screen | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$WORK/screen"
cmp -s "$WORK/expected-screen" "$WORK/screen" || {
  diff "$WORK/expected-screen" "$WORK/screen"
  fail "the terminal's rows"
}

tmux -S "$TERMINAL" kill-session -t talven
mkdir "$WORK/TALVEN.JS"
tmux -S "$TERMINAL" -f /dev/null new-session -d -s talven -x 100 -y 30 -c "$WORK" \
  sh -c '"$@" 2>wine.err; echo "exit code $?"; sleep 600' talven "$WINE" "$TALVEN" "$LOCAL_PATH"
within 90 popup_shown || { screen; cat "$WORK/wine.err"; fail "no message box titled Talven appeared"; }
program_ended && fail "the program ended while its message box was still shown"
timeout 10 xdotool key --window "$(popup_window)" Return
within 30 popup_gone || fail "the message box did not close after Return"
within 30 program_ended || { screen; fail "the program did not end after the message box closed"; }
screen | grep -qx 'exit code 0' || { screen; fail "exit code after the message box"; }
[ -d "$WORK/TALVEN.JS" ] || fail "the directory named TALVEN.JS is gone"

echo "passed: stored as $SECOND, popup shown and dismissed, TALVEN.JS checked and removed;" \
  "message box shown and dismissed where TALVEN.JS is a directory"
