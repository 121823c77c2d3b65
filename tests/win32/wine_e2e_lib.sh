# Shared by the end-to-end tests of talven.exe under Wine. They run inside
# scripts/with-wine.sh (the Wine prefix, its server, the network namespace
# they share and a virtual display with a window manager), sourced with
# TALVEN (talven.exe), WINE (the loader), SOURCE (the source tree) and
# SERVER_HOST set, as CTest passes them; with TLS_CERT (a PEM file holding a
# certificate and its key) set as well, talven.exe is a build that logs in
# over TLS and pins that certificate, and the server speaks TLS with it.
set -eu

TALVEN=${TALVEN:?talven.exe}
WINE=${WINE:?the Wine loader}
SOURCE=${SOURCE:?the source tree}
SERVER_HOST=${SERVER_HOST:?the build-time server host}
SKIP=77
# WINE_E2E_SERVER=vsftpd, set before sourcing: the test starts vsftpd with
# start_vsftpd instead of the scripted server below.
WINE_E2E_SERVER=${WINE_E2E_SERVER:-scripted}

case $SERVER_HOST in
  localhost|127.0.0.1) ;;
  *) echo "skipped: the program is built for $SERVER_HOST, not for loopback"; exit $SKIP ;;
esac
if [ -z "${TALVEN_WINE_NETNS:-}" ]; then
  echo "skipped: needs the network namespace of the Wine run (scripts/with-wine.sh as root)"
  exit $SKIP
fi
# I686_GATE: the command that tells whether a 32-bit program can run here.
if [ -n "${I686_GATE:-}" ] && ! why=$("$I686_GATE"); then echo "skipped: $why"; exit $SKIP; fi
for tool in xdotool tmux python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit $SKIP; }
done

WORK=$(mktemp -d /tmp/talven-wine-e2e.XXXXXX)
ROOT=$WORK/root
RUNDIR=$WORK/run
TERMINAL=$WORK/tmux.sock
mkdir "$ROOT" "$RUNDIR"
SERVER_PID=

# Under a loaded machine X clients can be slow to answer: every call on the
# display is bounded, so that a test fails with its reason, and cleans up,
# before CTest's time-out kills it.
talven_windows() {
  timeout 10 xdotool search --onlyvisible --name '^Talven$' 2>/dev/null
}

cleanup() {
  if [ -S "$TERMINAL" ]; then tmux -S "$TERMINAL" kill-server 2>/dev/null || true; fi
  # A popup left by a failed run would be taken for the next test's.
  if [ -n "${DISPLAY:-}" ]; then
    for window in $(talven_windows); do timeout 10 xdotool key --window "$window" Return 2>/dev/null || true; done
  fi
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  if [ -f "$RUNDIR/pid" ]; then "$SOURCE/tests/servers/ftp-server.sh" stop "$RUNDIR" || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# With what the display and Wine showed at that moment.
fail() {
  echo "FAILED: $*" >&2
  if [ -n "${DISPLAY:-}" ]; then
    echo "windows on the display:" >&2
    for window in $(timeout 10 xdotool search --name . 2>/dev/null); do
      echo "  $window '$(timeout 5 xdotool getwindowname "$window" 2>/dev/null)'" >&2
    done
  fi
  echo "Windows programs running:" >&2
  ps -eo pid,etime,args | grep -i '[.]exe' >&2 || true
  exit 1
}

# Polls COMMAND every tenth of a second until it succeeds or SECONDS have
# passed by the clock (however long each poll itself takes).
within() {
  deadline=$(($(date +%s) + $1))
  shift
  while [ "$(date +%s)" -lt "$deadline" ]; do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

start_vsftpd() {
  "$SOURCE/tests/servers/ftp-server.sh" start vsftpd 21 "$ROOT" "$RUNDIR"
}
[ "$WINE_E2E_SERVER" = scripted ] || return 0

# A server on 127.0.0.1:21 that refuses the first STOR and takes the second,
# and the file to send, named by a path with a blank.
/usr/bin/python3 "$SOURCE/tests/e2e/scripted_ftpd.py" ${TLS_CERT:+--tls "$TLS_CERT"} "$ROOT" "$RUNDIR" "553 Bad file name." \
  >"$RUNDIR/server.log" 2>&1 &
SERVER_PID=$!
within 10 test -e "$RUNDIR/ready" || fail "the scripted server did not start: $(cat "$RUNDIR/server.log")"
mkdir "$WORK/My Files"
head -c 20000 /dev/urandom >"$WORK/My Files/inv.2024.pdf"
# Wine quotes an argument that holds a blank when it builds the Windows
# command line; the program splits it back from GetCommandLineA.
LOCAL_PATH='My Files\inv.2024.pdf'

# check_stored: the first STOR under the file's own name, the second under a
# number and its suffix, holding the file byte for byte, then QUIT; with TLS,
# the session secured before the login. Sets FIRST and SECOND to the two
# remote names.
check_stored() {
  wait "$SERVER_PID" || fail "the scripted server failed: $(cat "$RUNDIR/server.log")"
  SERVER_PID=
  if [ -n "${TLS_CERT:-}" ]; then
    [ "$(head -n 1 "$RUNDIR/commands.log")" = "AUTH TLS" ] || fail "the session was not secured first"
  fi
  stored=$(sed -n 's/^STOR //p' "$RUNDIR/commands.log")
  FIRST=$(echo "$stored" | sed -n 1p)
  SECOND=$(echo "$stored" | sed -n 2p)
  [ "$FIRST" = inv.2024.pdf ] || fail "first remote name $FIRST"
  echo "$SECOND" | grep -Eqx '(0|[1-9][0-9]{0,7})\.pdf' || fail "retry name $SECOND is not a number and .pdf"
  cmp "$WORK/My Files/inv.2024.pdf" "$ROOT/$SECOND" || fail "the stored file differs from the local one"
  [ "$(tail -n 1 "$RUNDIR/commands.log")" = QUIT ] || fail "no QUIT at the end"
}
