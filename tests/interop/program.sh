#!/bin/bash
# The talven program against the real server that tests/interop/run.sh
# started on port 21 of 127.0.0.1 or ::1 (the program dials port 21 of its
# build-time host, which the --ipv6 run names ::1).
#
#   run.sh NAME tests/interop/program.sh TALVEN SERVER_HOST
#   run.sh --wine NAME tests/interop/program.sh TALVEN.EXE SERVER_HOST WINE
#
# With no display and no terminal the program writes one row per attempt on
# standard output: the remote name, padded to 14 columns, then the last
# progress caption or the refusal's text. On Linux the popup's message
# follows; talven.exe (run by the Wine loader WINE) ends its rows with CR LF
# and, with no display, shows no message.
#   1. A file arrives under its own name, byte for byte.
#   2. The same file again: pure-ftpd's anonymous account may not overwrite
#      the file it took, so the first attempt ends with "Access Denied" (550)
#      and the file arrives under a random number with its suffix kept. The
#      other servers replace the file.
set -eu

talven=$1
server_host=$2
wine=${3:-}
case $server_host in
    localhost|127.0.0.1) ;;
    *) echo "program.sh: talven is built for $server_host, not for loopback; skipped"; exit 77 ;;
esac

root=${TALVEN_INTEROP_ROOT:?run through tests/interop/run.sh}
# Under Wine the root is given as the drive path Z:\...
if [ -n "$wine" ]; then root=${root#Z:}; root=${root//\\//}; fi
name=${TALVEN_INTEROP_SERVER:?run through tests/interop/run.sh}
work=$(mktemp -d /tmp/talven-program.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "program.sh: $name: $*" >&2
    exit 1
}

# run_talven OUTPUT FILE: in the work directory, no display, no terminal.
run_talven() {
    (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY $wine "$talven" "$2" </dev/null >"$1" 2>"$1.err") ||
        fail "exit code $? (expected 0)"
    [ ! -s "$1.err" ] || fail "standard error: $(cat "$1.err")"
    echo "--- talven $2 against $name:"
    cat "$1"
}

# expect_output FILE ROW...: FILE holds these rows and then, on Linux, the
# message of a successful upload of inv.2024.pdf.
expect_output() {
    local file=$1
    shift
    if [ -n "$wine" ]; then
        printf '%s\r\n' "$@"
    else
        printf '%s\n' "$@" "Fitxer inv.2024.pdf enviat correctament"
    fi >"$work/expected"
    diff "$work/expected" "$file" >&2 || fail "output of talven differs from the expected rows"
}

row() { printf '%-14s%s' "$1" "$2"; }

# A program built with TLS under Wine trusts the run's test CA through the
# prefix's root store, where TALVEN_TRUST_CA (a Windows program) puts it.
if [ -n "$wine" ] && [ -n "${TALVEN_TRUST_CA:-}" ] && [ -n "${SSL_CERT_FILE:-}" ]; then
    $wine "$TALVEN_TRUST_CA" "$SSL_CERT_FILE" || fail "the test CA could not be trusted"
fi

head -c 300000 /dev/urandom >"$work/inv.2024.pdf"
caption="300000 / 300000"

run_talven "$work/first" inv.2024.pdf
cmp "$work/inv.2024.pdf" "$root/inv.2024.pdf" || fail "the file did not arrive under its own name"
expect_output "$work/first" "$(row inv.2024.pdf "$caption")"

head -c 200000 /dev/urandom >"$work/inv.2024.pdf"
caption="200000 / 200000"
run_talven "$work/second" inv.2024.pdf
if [ "$name" = pure-ftpd ]; then
    stored=$(sed -n '2s/ .*//p' "$work/second")
    [[ $stored =~ ^(0|[1-9][0-9]{0,7})\.pdf$ ]] || fail "retry name '$stored' is not a number with the suffix .pdf"
    expect_output "$work/second" "$(row inv.2024.pdf "Access Denied")" "$(row "$stored" "$caption")"
    cmp "$work/inv.2024.pdf" "$root/$stored" || fail "the file did not arrive as $stored"
    [ "$(ls "$root" | wc -l)" = 2 ] || fail "ROOT holds more than the two uploads: $(ls "$root")"
else
    expect_output "$work/second" "$(row inv.2024.pdf "$caption")"
    cmp "$work/inv.2024.pdf" "$root/inv.2024.pdf" || fail "the file was not replaced"
fi
