# Shared by the program's end-to-end tests. Each test runs in network and
# mount namespaces of its own, where its servers listen on port 21 of
# 127.0.0.1 (or ::1) and the program (built with the default server host
# localhost) reaches them.
#
# A test script sources this file with TALVEN (the built program), SOURCE
# (the source tree), SERVER_HOST and ACCOUNT (the program's build-time
# settings) set, as CTest passes them.
set -eu

TALVEN=${TALVEN:?the built talven program}
SOURCE=${SOURCE:?the source tree}
SERVER_HOST=${SERVER_HOST:?the build-time server host}
ACCOUNT=${ACCOUNT:?the build-time account}
SKIP=77

case $SERVER_HOST in
  localhost|127.0.0.1) ;;
  *) echo "skipped: the program is built for $SERVER_HOST, not for loopback"; exit $SKIP ;;
esac

if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
  echo "skipped: needs root for a network namespace (unshare -n)"
  exit $SKIP
fi
# WINE set: PROGRAM is a Windows program run by that loader. Its sockets are
# made by the Wine server, in the network namespace of scripts/with-wine.sh,
# which the test then shares (and so must take turns at port 21); a 32-bit
# program needs a machine that runs 32-bit programs (I686_GATE, the command
# that tells, is set for it).
if [ -n "${WINE:-}" ]; then
  [ -n "${TALVEN_WINE_NETNS:-}" ] ||
    { echo "skipped: needs the network namespace of the Wine run (scripts/with-wine.sh as root)"; exit $SKIP; }
  if [ -n "${I686_GATE:-}" ] && ! why=$("$I686_GATE"); then echo "skipped: $why"; exit $SKIP; fi
  [ -n "${DISPLAY:-}" ] && command -v xdotool >/dev/null ||
    { echo "skipped: needs the display of the Wine run (Xvfb) and xdotool"; exit $SKIP; }
  [ -n "${TALVEN_E2E_NETNS:-}" ] || TALVEN_E2E_NETNS=1 exec unshare -m sh "$0" "$@"
elif [ -z "${TALVEN_E2E_NETNS:-}" ]; then
  TALVEN_E2E_NETNS=1 exec unshare -m -n sh "$0" "$@"
fi
ip link set lo up

WORK=$(mktemp -d /tmp/talven-e2e.XXXXXX)
ROOT=$WORK/root
RUNDIR=$WORK/run
mkdir -p "$ROOT" "$RUNDIR"
SERVER_PID=
TERMINAL=$WORK/tmux.sock

cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  if [ -f "$RUNDIR/pid" ]; then "$SOURCE/tests/servers/ftp-server.sh" stop "$RUNDIR" || true; fi
  if [ -S "$TERMINAL" ]; then tmux -S "$TERMINAL" kill-server 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# expect_output FILE EXPECTED WHAT: FILE holds exactly EXPECTED, a printf
# format without arguments.
expect_output() {
  printf "$2" > "$WORK/expected"
  cmp -s "$1" "$WORK/expected" || {
    echo "--- expected"; od -c "$WORK/expected" | head -40
    echo "--- got"; od -c "$1" | head -40
    fail "$3"
  }
}

# start_vsftpd [ADDRESS]: on 127.0.0.1 or ::1.
start_vsftpd() {
  ADDRESS=${1:-127.0.0.1} "$SOURCE/tests/servers/ftp-server.sh" start vsftpd 21 "$ROOT" "$RUNDIR"
}

# use_hosts LINE...: /etc/hosts holds these lines alone, for this test only.
use_hosts() {
  printf '%s\n' "$@" >"$WORK/hosts"
  mount --make-rprivate /
  mount --bind "$WORK/hosts" /etc/hosts
}

# start_scripted_server [--password PASSWORD] [ANSWER...]: the first STORs
# get these answers (see scripted_ftpd.py).
start_scripted_server() {
  rm -f "$RUNDIR/ready"
  if [ "${1:-}" = --password ]; then
    password=$2
    shift 2
    set -- --password "$password" "$ROOT" "$RUNDIR" "$@"
  else
    set -- "$ROOT" "$RUNDIR" "$@"
  fi
  /usr/bin/python3 "$SOURCE/tests/e2e/scripted_ftpd.py" "$@" \
    >"$RUNDIR/server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do
    [ -e "$RUNDIR/ready" ] && return 0
    sleep 0.1
  done
  cat "$RUNDIR/server.log" >&2
  fail "the scripted server did not start"
}

# Waits for the scripted server to finish its session.
wait_scripted_server() {
  wait "$SERVER_PID" || fail "the scripted server failed: $(cat "$RUNDIR/server.log")"
  SERVER_PID=
}

# run_talven OUTPUT [ARGUMENT...]: in the work directory, with no display
# and no terminal, so the popup's text goes to standard output. PROGRAM, when
# set, runs instead of TALVEN.
run_talven() {
  out=$1
  shift
  if [ -n "${WINE:-}" ]; then
    run_windows_program "$out" "$@"
  else
    (cd "$WORK" && env -u DISPLAY -u WAYLAND_DISPLAY "${PROGRAM:-$TALVEN}" "$@" </dev/null >"$out" 2>"$out.err") ||
      fail "exit code $? (expected 0)"
  fi
  [ ! -s "$out.err" ] || fail "standard error: $(cat "$out.err")"
  [ ! -e "$WORK/TALVEN.JS" ] || fail "TALVEN.JS left in the current directory"
}

# run_windows_program OUTPUT [ARGUMENT...]: the Windows program shows its
# message in a popup on the Wine run's display, whatever its output is: the
# popup's text, read as the user sees it (POPUP_PROBE --box-text), follows
# the rows in OUTPUT, their CR LF as LF, as the native program writes them.
# The popup is then dismissed, which ends the program.
run_windows_program() {
  out=$1
  shift
  rm -f "$WORK/popup.txt"
  (cd "$WORK" && exec "$WINE" "${PROGRAM:-$TALVEN}" "$@" </dev/null >"$out.rows" 2>"$out.err") &
  program=$!
  popup=
  deadline=$(($(date +%s) + 150))
  while [ -z "$popup" ] && [ "$(date +%s)" -lt "$deadline" ] && kill -0 $program 2>/dev/null; do
    sleep 0.2
    popup=$(timeout 10 xdotool search --onlyvisible --name '^Talven$' 2>/dev/null | head -n 1) || true
  done
  [ -n "$popup" ] || { kill $program 2>/dev/null; fail "no popup titled Talven; rows: $(cat "$out.rows")"; }
  (cd "$WORK" && "$WINE" "${POPUP_PROBE:?popup_probe.exe}" --box-text popup.txt) ||
    { kill $program 2>/dev/null; fail "the popup's text could not be read"; }
  timeout 10 xdotool key --window "$popup" Return 2>/dev/null || true
  for _ in $(seq 150); do kill -0 $program 2>/dev/null && sleep 0.2; done
  kill -0 $program 2>/dev/null && { kill $program; fail "the program did not end when its popup was dismissed"; }
  wait $program || fail "exit code $? (expected 0)"
  { tr -d '\r' <"$out.rows"; cat "$WORK/popup.txt"; echo; } >"$out"
}

# screen: the terminal's rows as they are rendered now, trailing blanks cut.
screen() {
  tmux -S "$TERMINAL" capture-pane -p -t talven | sed 's/ *$//'
}

# run_talven_on_terminal SCREEN [ARGUMENT...]: in a terminal 100 columns
# wide; presses Enter at the popup's [OK] and writes the rendered rows
# (blank ones at the end cut) to SCREEN.
run_talven_on_terminal() {
  out=$1
  shift
  tmux -S "$TERMINAL" -f /dev/null new-session -d -s talven -x 100 -y 40 -c "$WORK" \
    env -u DISPLAY -u WAYLAND_DISPLAY sh -c '"$@"; echo "exit code $?"; sleep 60' talven "$TALVEN" "$@"
  for _ in $(seq 200); do
    screen | grep -q '^\[OK\]' && break
    sleep 0.1
  done
  screen | grep -q '^\[OK\]' || { screen; fail "no popup on the terminal"; }
  tmux -S "$TERMINAL" send-keys -t talven Enter
  for _ in $(seq 100); do
    screen | grep -q '^exit code' && break
    sleep 0.1
  done
  screen | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$out"
  tmux -S "$TERMINAL" kill-server
  grep -qx 'exit code 0' "$out" || { cat "$out"; fail "no exit code 0 on the terminal"; }
}
