#!/bin/bash
# Smoke test of the four loopback FTP servers (run as root after install.sh).
#
#   tests/servers/smoke.sh            # env SMOKE_PORT: first port (2121)
#
# For each server: start it on a high port with a fresh ROOT, log in by hand
# ("USER anonymous", "PASS " with nothing after the blank), then with curl
# upload a few hundred KiB, list, download and compare the bytes, make a
# directory, upload into it, check what anonymous may overwrite, delete,
# rename and remove, and stop the server.  Then the same servers on port 21
# inside a network namespace of our own.  One line per server; exits
# non-zero on any failure; every server started is stopped, also on failure.
set -eu

HERE=$(cd "$(dirname "$0")" && pwd -P)
SRV=$HERE/ftp-server.sh
SERVERS="vsftpd pure-ftpd proftpd pyftpdlib"

# ---- one server: "smoke.sh check NAME PORT WORKDIR" (own process, set -e) --

# Control connection by hand on fd 3; the transcript goes to $LOG.
send() { printf '%s\r\n' "$1" >&3; echo "> $1" >> "$LOG"; }
# reply: read one (possibly multi-line) reply into CODE and TEXT.
reply() {
    local line
    IFS= read -r -t 10 line <&3 || { echo "no reply" >> "$LOG"; return 1; }
    line=${line%$'\r'}; echo "< $line" >> "$LOG"
    CODE=${line:0:3} TEXT=$line
    if [ "${line:3:1}" = - ]; then
        while IFS= read -r -t 10 line <&3; do
            line=${line%$'\r'}; echo "< $line" >> "$LOG"
            [ "${line:0:4}" = "$CODE " ] && break
        done
    fi
}
expect() { reply; [ "$CODE" = "$1" ] || { echo "expected $1, got: $TEXT" >> "$LOG"; return 1; }; }

# refused CURL-ARGS...: curl fails and the server answered 550.
refused() {
    if $curl -v "$@" > /dev/null 2> "$W/refused.txt"; then
        echo "not refused: $*" >> "$LOG"; return 1
    fi
    cat "$W/refused.txt" >> "$LOG"
    grep -q '^< 550' "$W/refused.txt"
}

raw_login() {
    exec 3<>"/dev/tcp/127.0.0.1/$PORT"
    expect 220
    send "USER anonymous"
    reply
    case $CODE in
        331) send "PASS "; expect 230 ;;
        230) send "PASS "; reply ;;   # pure-ftpd: logged in by USER alone
        *) echo "USER anonymous: $TEXT" >> "$LOG"; return 1 ;;
    esac
    send PWD
    expect 257
    case $TEXT in '257 "/"'*) ;; *) echo "not in ROOT" >> "$LOG"; return 1 ;; esac
    send QUIT
    expect 221
    exec 3<&-
}

check() {
    trap 'echo "smoke.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
    NAME=$1 PORT=$2 W=$3
    local root=$W/root run=$W/run url=ftp://127.0.0.1:$2
    curl="curl -sS --max-time 20 -u anonymous: --ftp-pasv --disable-epsv"
    mkdir -p "$root" "$run"
    LOG=$W/transcript.txt
    : > "$LOG"
    head -c 307200 /dev/urandom > "$W/up.bin"     # 300 KiB
    echo "there before start" > "$root/before.bin"

    "$SRV" start "$NAME" "$PORT" "$root" "$run"
    raw_login

    # Upload, with the login seen by curl -v: "PASS " empty, or no PASS
    # at all when USER alone logs in (pure-ftpd).
    $curl -v -T "$W/up.bin" "$url/" 2> "$W/curl.txt"
    cat "$W/curl.txt" >> "$LOG"
    if [ "$NAME" = pure-ftpd ]; then
        grep -A1 '^> USER anonymous' "$W/curl.txt" | tail -n 1 | grep -q '^< 230'
    else
        grep -A1 $'^> PASS \r$' "$W/curl.txt" | tail -n 1 | grep -q '^< 230'
    fi
    cmp "$W/up.bin" "$root/up.bin"               # landed in ROOT itself

    $curl "$url/" | tr -d '\r' > "$W/list.txt"
    grep -q ' up\.bin$' "$W/list.txt"
    $curl -o "$W/down.bin" "$url/up.bin"
    cmp "$W/up.bin" "$W/down.bin"

    $curl -Q "MKD sub" "$url/" > /dev/null
    test -d "$root/sub"
    $curl -T "$W/up.bin" "$url/sub/in-sub.bin"   # CWD into it
    cmp "$W/up.bin" "$root/sub/in-sub.bin"

    if [ "$NAME" = pure-ftpd ]; then
        # Anonymous may not overwrite, delete, rename or remove (550).
        refused -T "$W/down.bin" "$url/up.bin"
        refused -T "$W/down.bin" "$url/before.bin"
        refused -Q "DELE up.bin" "$url/"
        refused -Q "RNFR up.bin" -Q "RNTO x.bin" "$url/"
        refused -Q "RMD sub" "$url/"
        cmp "$W/up.bin" "$root/up.bin"
        test -d "$root/sub"
    else
        $curl -T "$W/down.bin" "$url/up.bin"
        $curl -T "$W/down.bin" "$url/before.bin"
        cmp "$W/up.bin" "$root/before.bin"
        $curl -Q "RNFR up.bin" -Q "RNTO moved.bin" -Q "DELE moved.bin" \
              -Q "DELE sub/in-sub.bin" -Q "RMD sub" "$url/" > /dev/null
        test ! -e "$root/up.bin"
        test ! -e "$root/moved.bin"
        test ! -e "$root/sub"
    fi

    "$SRV" stop "$run"
    [ ! -f "$run/pid" ]
}

# All four at once: "smoke.sh together WORKDIR FIRST-PORT".  Each has its own
# ROOT and passive range; each must serve its own ROOT from its own range.
together() {
    trap 'echo "smoke.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
    local w=$1 port=$2 name min=41000 out p1 p2
    for name in $SERVERS; do
        mkdir -p "$w/$name/root"
        echo "$name" > "$w/$name/root/marker.txt"
        PASV_MIN=$min PASV_MAX=$((min + 9)) "$SRV" start "$name" "$port" "$w/$name/root" "$w/$name/run"
        echo "$name $port $min" >> "$w/ports"
        port=$((port + 1)) min=$((min + 10))
    done
    while read -r name port min; do
        out=$(curl -sS -v --max-time 20 -u anonymous: --ftp-pasv --disable-epsv \
                   "ftp://127.0.0.1:$port/marker.txt" 2> "$w/$name.curl")
        [ "$out" = "$name" ] || { echo "$name served '$out'" >&2; return 1; }
        p1=$(sed -n 's/^< 227 .*,\([0-9]*\),\([0-9]*\)).*/\1/p' "$w/$name.curl")
        p2=$(sed -n 's/^< 227 .*,\([0-9]*\),\([0-9]*\)).*/\2/p' "$w/$name.curl")
        p1=$((p1 * 256 + p2))
        [ "$p1" -ge "$min" ] && [ "$p1" -le $((min + 9)) ] ||
            { echo "$name passive port $p1 not in $min..$((min + 9))" >&2; return 1; }
    done < "$w/ports"
    for name in $SERVERS; do "$SRV" stop "$w/$name/run"; done
}

# Inside the network namespace: "smoke.sh netns WORKDIR".
netns() {
    ip link set lo up
    local rc=0 name
    for name in $SERVERS; do
        report "$name" 21 "$1/netns-$name" " in a network namespace" || rc=1
    done
    return $rc
}

# report NAME PORT WORKDIR WHERE: run one check, print its line.
report() {
    local v
    v=$("$SRV" version "$1")
    if PASV_MIN=$PASV_MIN PASV_MAX=$PASV_MAX bash "$0" check "$1" "$2" "$3" 2> "$3.err"; then
        echo "ok    $v on 127.0.0.1:$2$4"
    else
        echo "FAIL  $v on 127.0.0.1:$2$4"
        sed 's/^/    | /' "$3.err" "$3/transcript.txt" 2>/dev/null | tail -n 40
        for f in "$3"/run/*.log; do
            [ -f "$f" ] && { echo "    | ----- $f"; tail -n 20 "$f" | sed 's/^/    | /'; }
        done
        return 1
    fi
}

PASV_MIN=${PASV_MIN:-40000} PASV_MAX=${PASV_MAX:-40099}

case ${1:-} in
    check) shift; check "$@"; exit ;;
    together) shift; together "$@"; exit ;;
    netns) shift; netns "$@"; exit ;;
    '') ;;
    *) echo "usage: $0" >&2; exit 2 ;;
esac

[ "$(id -u)" = 0 ] || { echo "smoke.sh: run as root" >&2; exit 1; }
WORK=$(mktemp -d /tmp/talven-ftp-smoke.XXXXXX)
cleanup() {
    local run
    for run in "$WORK"/*/run "$WORK"/together/*/run; do
        [ -d "$run" ] && "$SRV" stop "$run" || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

port=${SMOKE_PORT:-2121}
rc=0
for name in $SERVERS; do
    report "$name" "$port" "$WORK/$name" "" || rc=1
    port=$((port + 1))
done
mkdir "$WORK/together"
if bash "$0" together "$WORK/together" "$port" 2> "$WORK/together.err"; then
    echo "ok    all four at once on ports $port..$((port + 3)), each with its own ROOT and passive range"
else
    echo "FAIL  all four at once on ports $port..$((port + 3))"
    sed 's/^/    | /' "$WORK/together.err"
    rc=1
fi
unshare -n bash "$0" netns "$WORK" || rc=1
exit $rc
