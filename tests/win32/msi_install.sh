#!/bin/sh
# The installer under Wine, as a user without administrator rights would use
# it: "msiexec /i" quietly puts talven.exe, talvenftp.dll, the headers, the
# readme and the license in the user's program folder and a Send To entry
# "Talven (SERVER_HOST)" whose target is that talven.exe; opening the entry
# with a file's path as its only argument, as Explorer's Send To does,
# uploads the file to vsftpd and shows the popup; "msiexec /x" leaves
# nothing behind: no file, folder, shortcut or registry key of its own.
# MSI is the installer (made with wixl from the build's talven.wxs); with
# INSTALL_ONLY=1 the upload is left out (a 32-bit installer in a prefix
# without 32-bit Wine, whose program cannot run here).
WINE_E2E_SERVER=vsftpd
. "$SOURCE/tests/win32/wine_e2e_lib.sh"

MSI=${MSI:?the installer}
POPUP_PROBE=${POPUP_PROBE:?popup_probe.exe}
WINEPREFIX=${WINEPREFIX:?the Wine prefix of scripts/with-wine.sh}
[ -n "${DISPLAY:-}" ] || { echo "skipped: needs the display of the Wine run (Xvfb)"; exit $SKIP; }

windows_path() { "$WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
unix_path() { "$WINE" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
# What the prefix holds: its files and folders, and the current user's and
# the machine's registry, as a list to compare before and after. The
# Installer's own cache folder (C:\windows\Installer, which Windows always
# has and Wine makes at the first installation) is left out; what the
# installation cached in it is not.
prefix_state() {
  (cd "$WINEPREFIX/drive_c" && find . -path ./windows/temp -prune -o -path './users/*/Temp' -prune -o -print |
    grep -vx './windows/Installer' | LC_ALL=C sort)
  "$WINE" reg query 'HKCU\Software' /s 2>/dev/null | tr -d '\r' | grep -i talven || true
  for key in $uninstall_keys; do "$WINE" reg query "$key" /s 2>/dev/null | tr -d '\r' | grep -i talven || true; done
}
uninstall_keys='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall
HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall
HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'

cp "$MSI" "$WORK/talven.msi"
# Windows' Send To folder always holds entries of its own; Wine's starts
# empty, and an empty folder would go with the last entry removed.
sendto=$(unix_path "$("$WINE" cmd /c echo %APPDATA%\\Microsoft\\Windows\\SendTo | tr -d '\r')")
mkdir -p "$sendto"
: >"$sendto/Mail Recipient.MAPIMail"
prefix_state >"$WORK/before"
(cd "$WORK" && "$WINE" msiexec /i talven.msi /qn) || fail "msiexec /i: exit code $?"

link="$sendto/Talven ($SERVER_HOST).lnk"
[ -f "$link" ] || fail "no Send To entry 'Talven ($SERVER_HOST)': $(ls "$sendto" 2>&1)"
# Registered for removal: for the user, or, where Wine made the
# installation the machine's (see below), for the machine (a 32-bit
# installer's under Wow6432Node).
for key in $uninstall_keys; do "$WINE" reg query "$key" /s 2>&1 | tr -d '\r'; done >"$WORK/uninstall"
grep -q "DisplayName.*Talven ($SERVER_HOST)" "$WORK/uninstall" ||
  fail "not registered for removal: $(grep -i -B3 -A8 talven "$WORK/uninstall")"

# The entry's target, as the shell reads it from the link (the local path
# of its link information): talven.exe in the user's program folder, where
# Windows puts a per-user installation; Wine 8 ignores MSIINSTALLPERUSER and
# takes the machine's Program Files (x86 for a 32-bit installer) instead.
link_target_program='import struct, sys
data = open(sys.argv[1], "rb").read()
flags = struct.unpack_from("<I", data, 0x14)[0]
at = 0x4C
if flags & 1:
    at += 2 + struct.unpack_from("<H", data, at)[0]
if not flags & 2:
    sys.exit("the link holds no local path")
path = at + struct.unpack_from("<I", data, at + 0x10)[0]
print(data[path:data.index(b"\0", path)].decode("latin-1"))'
target=$(python3 -c "$link_target_program" "$link") || fail "the Send To entry cannot be read"
program_folder=$(dirname "$(unix_path "$target")")
user_folder=$(unix_path "$("$WINE" cmd /c echo %LOCALAPPDATA%\\Programs\\Talven | tr -d '\r')")
machine_folder=$(unix_path "$("$WINE" cmd /c echo %ProgramFiles%\\Talven | tr -d '\r')")
machine_folder_32=$(unix_path "$("$WINE" cmd /c echo %ProgramFiles\(x86\)%\\Talven | tr -d '\r')")
case $program_folder in
  "$user_folder"|"$machine_folder"|"$machine_folder_32") ;;
  *) fail "the Send To entry's target is '$target', not talven.exe in the program folder" ;;
esac
for file in talven.exe talvenftp.dll README-windows.txt LICENSE.txt include/talvenftp.h include/talven_abi.h; do
  [ -f "$program_folder/$file" ] || fail "$file is not in $program_folder: $(ls -R "$program_folder" 2>&1)"
done
cmp "$program_folder/talven.exe" "$TALVEN" || fail "the installed talven.exe is not the build's"

if [ "${INSTALL_ONLY:-0}" != 1 ]; then
  start_vsftpd
  head -c 20000 /dev/urandom >"$WORK/report 2024.pdf"
  (cd "$WORK" && "$WINE" start /wait "$(windows_path "$link")" "$(windows_path "$WORK/report 2024.pdf")" \
    >"$WORK/sent.out" 2>&1) &
  sender=$!
  within 90 sh -c '[ -n "$(timeout 10 xdotool search --onlyvisible --name "^Talven\$" 2>/dev/null)" ]' ||
    fail "no popup titled Talven appeared: $(cat "$WORK/sent.out")"
  (cd "$WORK" && "$WINE" "$POPUP_PROBE" --box-text popup.txt) || fail "the popup's text could not be read"
  expected="Fitxer $(windows_path "$WORK/report 2024.pdf") enviat correctament"
  [ "$(cat "$WORK/popup.txt")" = "$expected" ] || fail "the popup says '$(cat "$WORK/popup.txt")', not '$expected'"
  timeout 10 xdotool key --window "$(talven_windows | head -n 1)" Return
  wait "$sender" || fail "the Send To entry ended with $?"
  # start may return before the program it opened through the link ends;
  # the uninstallation must not meet it still running.
  within 30 sh -c '! ps -eo args | grep -qi "[t]alven\.exe"' || fail "talven.exe did not end after its popup closed"
  cmp "$WORK/report 2024.pdf" "$ROOT/report 2024.pdf" || fail "the file sent through Send To was not stored"
fi

(cd "$WORK" && "$WINE" msiexec /x talven.msi /qn) || fail "msiexec /x: exit code $?"
prefix_state >"$WORK/after"
diff "$WORK/before" "$WORK/after" >"$WORK/left" || fail "msiexec /x left behind (> added, < removed):
$(cat "$WORK/left")"
sent="sent through Send To"
[ "${INSTALL_ONLY:-0}" != 1 ] || sent="not run (INSTALL_ONLY=1)"
printf '%s\n' "passed: installed as $target with '$(basename "$link")' naming it, $sent, removed without a trace"
