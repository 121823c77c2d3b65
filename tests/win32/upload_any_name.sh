#!/bin/sh
# talven.exe under Wine, in a prefix whose ANSI code page is 1252, sends a
# file whose name holds Chinese characters and an emoji. Its manifest makes
# the program's code page UTF-8, so the name reaches it whole from the
# command line, the file opens, and vsftpd stores it under exactly that name
# in UTF-8. The popup's text, read back from its window, holds the name;
# TALVEN.JS meanwhile holds the script in ASCII, each other character as
# its JScript escape.
# Then, with a directory named TALVEN.JS in the way, the system's message
# box shows the same text.
WINE_E2E_SERVER=vsftpd
. "$SOURCE/tests/win32/wine_e2e_lib.sh"

[ -n "${DISPLAY:-}" ] || { echo "skipped: needs the display of the Wine run (Xvfb)"; exit $SKIP; }
POPUP_PROBE=${POPUP_PROBE:?popup_probe.exe, which reads the text of the popup}

acp=$("$WINE" reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP 2>/dev/null |
  tr -d '\r' | awk '$1 == "ACP" { print $3 }')
[ "$acp" = 1252 ] || fail "the prefix's ANSI code page is '$acp', not 1252"

screen() {
  timeout 10 tmux -S "$TERMINAL" capture-pane -p -t talven | sed 's/ *$//'
}
popup_shown() { [ -n "$(talven_windows)" ]; }
popup_gone() { [ -z "$(talven_windows)" ]; }
program_ended() { screen | grep -q '^exit code'; }

name='上传报告😀.txt'
message="Fitxer $name enviat correctament"
start_vsftpd
head -c 20000 /dev/urandom >"$WORK/$name"

# send_and_read_popup: runs talven.exe on the file, writes the popup's text
# to popup.txt, dismisses the popup and waits for the exit code 0.
send_and_read_popup() {
  tmux -S "$TERMINAL" -f /dev/null new-session -d -s talven -x 100 -y 30 -c "$WORK" \
    sh -c '"$@" 2>wine.err; echo "exit code $?"; sleep 600' talven "$WINE" "$TALVEN" "$name"
  within 90 popup_shown || { screen; cat "$WORK/wine.err"; fail "no popup titled Talven appeared"; }
  (cd "$WORK" && "$WINE" "$POPUP_PROBE" --box-text popup.txt) || fail "the popup's text could not be read"
  [ "$(cat "$WORK/popup.txt")" = "$message" ] || fail "the popup says '$(cat "$WORK/popup.txt")', not '$message'"
}
dismiss_popup() {
  timeout 10 xdotool key --window "$(talven_windows | head -n 1)" Return
  within 30 popup_gone || fail "the popup did not close after Return"
  within 30 program_ended || { screen; fail "the program did not end after the popup closed"; }
  screen | grep -qx 'exit code 0' || { screen; fail "exit code"; }
  tmux -S "$TERMINAL" kill-session -t talven
}

send_and_read_popup
# Each character outside ASCII as its JScript escape (UTF-16 code units).
escape_program='import sys
units = sys.stdin.read().encode("utf-16-le")
codes = [int.from_bytes(units[i:i + 2], "little") for i in range(0, len(units), 2)]
print("".join(chr(c) if c < 0x80 else "\\u%04X" % c for c in codes), end="")'
escaped=$(printf '%s' "$message" | python3 -c "$escape_program")
printf "%s\r\n" "var wshShell=WScript.CreateObject('WScript.Shell');" \
  "wshShell.Popup('$escaped',0,'Talven',0x0);" >"$WORK/expected.js"
cmp "$WORK/expected.js" "$WORK/TALVEN.JS" || { od -c "$WORK/TALVEN.JS" | head -20; fail "TALVEN.JS while the popup is shown"; }
dismiss_popup
cmp "$WORK/$name" "$ROOT/$name" || fail "vsftpd did not store the file under its UTF-8 name: $(ls "$ROOT")"

rm "$ROOT/$name"
mkdir "$WORK/TALVEN.JS"
send_and_read_popup
dismiss_popup
cmp "$WORK/$name" "$ROOT/$name" || fail "the second upload: $(ls "$ROOT")"

echo "passed: $name stored under its UTF-8 name, shown by the script host's popup and by the message box"
