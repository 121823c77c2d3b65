#!/bin/bash
# Runs a test command against one real FTP server on 127.0.0.1:21, or with
# --ipv6 on [::1]:21.
#
#   tests/interop/run.sh [--wine] [--ipv6] NAME COMMAND...
#
# NAME is vsftpd, pure-ftpd, proftpd, pyftpdlib or ftp-srv
# (tests/servers/install.sh installs them). The run takes a network namespace of its own, with only
# loopback up, so port 21 is free and several runs may go on at once. The
# server starts with a fresh, empty ROOT; COMMAND then runs with
#   TALVEN_INTEROP_SERVER   NAME
#   TALVEN_INTEROP_VERSION  the server's version line
#   TALVEN_INTEROP_ROOT     ROOT as COMMAND sees it: with --wine the drive
#                           path Z:\... (Wine maps Z: to /)
#   TALVEN_INTEROP_HOST     the server's address, 127.0.0.1 or ::1
# With --ipv6 the run also takes a mount namespace of its own, whose
# /etc/hosts names ::1 alone localhost, so that a program built for
# localhost reaches the server over IPv6.
#   TALVEN_INTEROP_TLS      empty, or yes / 1.2 for NAME-tls / NAME-tls12
# With --wine, COMMAND is a Windows program under Wine. Wine's server process
# makes the sockets of all the programs of its prefix, in its own network
# namespace, so the run takes a prefix of its own (linked from the caller's
# WINEPREFIX) and starts its Wine server inside the namespace.
# The servers are stopped however COMMAND ends. On failure the FTP server's
# logs are printed and the work directory is kept.
#
# Exits with COMMAND's status, or 77 (a skip for CTest) where no network
# namespace can be made, as for an ordinary user.
set -eu

HERE=$(cd "$(dirname "$0")" && pwd -P)
. "$HERE/../support/wine_prefix.sh"
SERVER_SCRIPT=$HERE/../servers/ftp-server.sh
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
SKIP=77

wine=no ipv6=no
while :; do
    case ${1:-} in
        --wine) wine=yes; shift ;;
        --ipv6) ipv6=yes; shift ;;
        *) break ;;
    esac
done
[ $# -ge 2 ] || { echo "usage: $0 [--wine] [--ipv6] NAME COMMAND..." >&2; exit 2; }

if [ -z "${TALVEN_INTEROP_IN_NETNS:-}" ]; then
    if ! unshare -m -n true 2>/dev/null; then
        echo "run.sh: no network namespace can be made here (run as root); skipped" >&2
        exit $SKIP
    fi
    args=("$@")
    [ $ipv6 = yes ] && args=(--ipv6 "${args[@]}")
    [ $wine = yes ] && args=(--wine "${args[@]}")
    TALVEN_INTEROP_IN_NETNS=1 exec unshare -m -n "$0" "${args[@]}"
fi

ip link set lo up
address=127.0.0.1
[ $ipv6 = yes ] && address=::1
name=$1
shift
# NAME-tls: the server requires explicit FTPS; NAME-tls12 as well, with the
# client offering no more than TLS 1.2. The client trusts the server's test
# CA named by SSL_CERT_FILE (under Wine a test puts it in the user's root
# store). Wine's Schannel resumes no TLS session: under Wine the server
# does not require resumption.
tls=
case $name in
    *-tls12) tls=1.2; name=${name%-tls12} ;;
    *-tls) tls=yes; name=${name%-tls} ;;
esac
[ -n "$tls" ] && export FTP_TLS=yes
[ -n "$tls" ] && [ $wine = yes ] && export FTP_TLS_REUSE=optional

work=$(mktemp -d "/tmp/talven-interop-$name.XXXXXX")
root=$work/root
rundir=$work/run
mkdir "$root" "$rundir"

print_logs() {
    local log
    for log in "$rundir"/*.log; do
        [ -s "$log" ] || continue
        echo "----- $log"
        tail -n 100 "$log"
    done
}

# bounded SECONDS WHAT COMMAND...: fails the run, naming WHAT, when COMMAND
# has not finished within SECONDS.
bounded() {
    local limit=$1 what=$2 status=0
    shift 2
    timeout -k 5 "$limit" "$@" || status=$?
    if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        echo "run.sh: $what did not come up within $limit s" >&2
        exit 1
    fi
    return $status
}

# A prefix of this run's own: the caller's, with its Windows drive linked
# rather than copied (the tests add files there and change none), or a new
# one where the caller has none.
start_wine() {
    local source=${WINEPREFIX:-$HOME/.wine}
    export WINEPREFIX=$work/wine
    if [ -f "$source/system.reg" ]; then
        link_wine_prefix "$source" "$WINEPREFIX"
        bounded 30 "the Wine server" "$WINESERVER" -p
    else
        mkdir "$WINEPREFIX"
        bounded 30 "the Wine server" "$WINESERVER" -p
        bounded 300 "the Wine prefix (wineboot -i)" "$WINE" wineboot -i >/dev/null 2>&1
    fi
}

stop_wine() {
    [ -n "${WINEPREFIX:-}" ] && [ "$WINEPREFIX" = "$work/wine" ] || return 0
    "$WINESERVER" -k 2>/dev/null || true
    timeout -k 5 60 "$WINESERVER" -w 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}

finish() {
    local status=$?
    stop_wine
    "$SERVER_SCRIPT" stop "$rundir" || status=1
    if [ $status -eq 0 ]; then
        rm -rf "$work"
    else
        print_logs
        echo "run.sh: $name run failed; server files and logs kept in $work"
    fi
    exit $status
}
trap finish EXIT

if [ $ipv6 = yes ]; then
    mount --make-rprivate /
    echo "::1 localhost" > "$work/hosts"
    mount --bind "$work/hosts" /etc/hosts
fi

version=$("$SERVER_SCRIPT" version "$name")
echo "run.sh: $version on $address port 21"
# A thousand passive ports rather than the script's hundred: pure-ftpd binds
# a random one with SO_REUSEADDR and listens after, so two of its sessions
# that pick the same port at once both bind, and the later listen fails
# ("425 Unable to identify the local data socket: Address already in use");
# the wider the range, the rarer that is while four sessions transfer at once.
ADDRESS=$address PASV_MIN=40000 PASV_MAX=40999 "$SERVER_SCRIPT" start "$name" 21 "$root" "$rundir"

if [ $wine = yes ]; then
    start_wine
    root_seen="Z:${root//\//\\}"
else
    root_seen=$root
fi
if [ -n "$tls" ]; then
    SSL_CERT_FILE=$rundir/ca.pem
    [ $wine = yes ] && SSL_CERT_FILE="Z:${SSL_CERT_FILE//\//\\}"
    export SSL_CERT_FILE
fi
TALVEN_INTEROP_TLS=$tls TALVEN_INTEROP_SERVER=$name TALVEN_INTEROP_VERSION=$version TALVEN_INTEROP_ROOT=$root_seen \
    TALVEN_INTEROP_HOST=$address "$@"
