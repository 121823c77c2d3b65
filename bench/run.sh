#!/bin/bash
# Transfer benchmark: Talven against curl, lftp and Python's ftplib, all on
# one local vsftpd on loopback. Run as root on Debian 12 (it installs what it
# needs first):
#
#   bench/run.sh
#
# For files of 1 MiB, 64 MiB and 1 GiB it uploads and downloads with each
# tool, the tools taking turns run by run, and then times a whole small
# upload (connect, log in, upload 1 KiB, quit), and Talven's resumed upload
# of the largest file whose first 40 % the server already holds (SIZE, REST,
# STOR of the rest) against its uninterrupted upload. Talven runs twice: with its
# progress going to /dev/null, and to a pseudo-terminal (script(1)), where
# its captions are drawn. It prints, per size and direction, the median wall
# time, the throughput, the median user+system CPU time, the peak resident
# memory, the ratios Talven/curl, and whether the performance targets hold.
#
# Each run is a round in which every tool transfers once, one after the
# other, the order turning by one each round: the runs of one round are
# pairs taken under the same conditions (the load of a shared machine
# changes from second to second). The summary gives, besides the medians,
# the median of the per-round ratios Talven/curl, Talven/lftp and, for the
# terminal, talven-pty/talven; a target is decided only on 11 rounds or
# more (BENCH_RUNS=11), fewer are marked indicative.
#
# Settings (environment):
#   BENCH_RUNS=5        runs per tool (rounds) for each size and direction
#   BENCH_BIG_RUNS=5    runs per tool for the largest size
#   BENCH_SMALL_RUNS=20 runs per tool for the small upload
#   BENCH_SIZES="1 64 1024"  file sizes in MiB
#   BENCH_TOOLS="talven talven-pty curl lftp ftplib"  the clients to run
#   BENCH_DIR=/dev/shm  where the files go (tmpfs, so the disk is not timed)
#   BENCH_OUT=build/bench   where the raw records and the summary are kept
#   BENCH_SETUP=yes     no: skip installing packages and servers (they are
#                       there from an earlier run)
#   BENCH_DIRECTIONS="put get"  the directions to time
#   BENCH_TLS=no        yes: vsftpd requires explicit FTPS (its defaults,
#                       session reuse required) and every client speaks it:
#                       talven through ftpConnectTLS, curl --ssl-reqd, lftp
#                       with ftp:ssl-force and ftp:ssl-protect-data; all
#                       trust the server's test CA. The tools default to
#                       "talven curl lftp", the output to build/bench-tls.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$top"
runs=${BENCH_RUNS:-5}
big_runs=${BENCH_BIG_RUNS:-5}
small_runs=${BENCH_SMALL_RUNS:-20}
sizes=${BENCH_SIZES:-"1 64 1024"}
base=${BENCH_DIR:-/dev/shm}
tls=${BENCH_TLS:-no}
if [ "$tls" = yes ]; then
    out=${BENCH_OUT:-$top/build/bench-tls}
    default_tools="talven curl lftp"
else
    out=${BENCH_OUT:-$top/build/bench}
    default_tools="talven talven-pty curl lftp ftplib"
fi
python=/usr/bin/python3     # Debian's, with ftplib; not a pyenv one on PATH

[ "$(id -u)" = 0 ] || { echo "run.sh: run as root (it starts vsftpd and installs packages)" >&2; exit 1; }

echo "== set-up"
if [ "${BENCH_SETUP:-yes}" != no ]; then
    "$top/scripts/install-deps.sh"
    "$top/tests/servers/install.sh" >/dev/null
fi
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
cmake --preset native >/dev/null
cmake --build --preset native --target talven-bench >/dev/null
bench_client=$top/build/native/bench/talven-bench

largest=0
for s in $sizes; do [ "$s" -gt "$largest" ] && largest=$s; done
# The source files, one copy on the server, one upload and one download.
need_kib=$(( (largest * 4 + 64) * 1024 ))
avail_kib=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
if [ "$avail_kib" -lt "$need_kib" ]; then
    echo "run.sh: $base has $((avail_kib / 1024)) MiB free, needs $((need_kib / 1024)) MiB (set BENCH_DIR)" >&2
    exit 1
fi

work=$(mktemp -d "$base/talven-bench.XXXXXX")
root=$work/root          # what the server shows as /
files=$work/files        # the client side
rundir=$work/server
mkdir -p "$root" "$files" "$rundir" "$out"
cleanup() {
    "$top/tests/servers/ftp-server.sh" stop "$rundir" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
FTP_TLS=$tls PASV_MIN=47100 PASV_MAX=47199 "$top/tests/servers/ftp-server.sh" start vsftpd "$port" "$root" "$rundir"
tls_curl=() tls_lftp="set ftp:ssl-allow no;"
if [ "$tls" = yes ]; then
    export TALVEN_BENCH_TLS=yes SSL_CERT_FILE=$rundir/ca.pem
    tls_curl=(--ssl-reqd --cacert "$rundir/ca.pem")
    # lftp (GnuTLS) now and then loses a transfer to vsftpd over TLS 1.3
    # ("max-retries exceeded"); it may try again, in the time measured.
    tls_lftp="set ftp:ssl-force yes; set ftp:ssl-protect-data yes; set ssl:ca-file $rundir/ca.pem;
        set net:max-retries 3; set net:reconnect-interval-base 0;"
fi

for s in $sizes; do
    head -c "$((s * 1024 * 1024))" /dev/urandom > "$files/src-$s.bin"
    cp "$files/src-$s.bin" "$root/src-$s.bin"
done
head -c 1024 /dev/urandom > "$files/small.bin"

records=$out/records.txt
: > "$records"
tools=${BENCH_TOOLS:-$default_tools}

# client TOOL DIRECTION LOCAL REMOTE: sets cmd to the client's command line.
client() {
    local tool=$1 direction=$2 local_file=$3 remote=$4 transfer
    case $tool:$direction in
        talven-resume:put) cmd=("$bench_client" "$port" resume "$local_file" "$remote") ;;
        talven*:put) cmd=("$bench_client" "$port" put "$local_file" "$remote") ;;
        talven*:get) cmd=("$bench_client" "$port" get "$remote" "$local_file") ;;
        curl:put) cmd=(curl -sS "${tls_curl[@]}" -u anonymous: --ftp-pasv --disable-epsv -T "$local_file" "ftp://127.0.0.1:$port/$remote") ;;
        curl:get) cmd=(curl -sS "${tls_curl[@]}" -u anonymous: --ftp-pasv --disable-epsv -o "$local_file" "ftp://127.0.0.1:$port/$remote") ;;
        lftp:*)
            transfer="put $local_file -o $remote"
            [ "$direction" = get ] && transfer="get $remote -o $local_file"
            # Passive without EPSV, as the others.
            cmd=(lftp -c "set cmd:interactive no; set ftp:passive-mode yes;
                set ftp:prefer-epsv no; set net:max-retries 1; set xfer:clobber yes; $tls_lftp
                open -u anonymous, -p $port 127.0.0.1; $transfer") ;;
        ftplib:put) cmd=("$python" "$top/bench/ftplib_transfer.py" "$port" put "$local_file" "$remote") ;;
        ftplib:get) cmd=("$python" "$top/bench/ftplib_transfer.py" "$port" get "$remote" "$local_file") ;;
    esac
}

# measure LABEL TOOL DIRECTION LOCAL REMOTE ROUND: one timed run, appended
# to the records as: LABEL DIRECTION TOOL WALL USER SYSTEM RSS_KIB STATUS ROUND.
measure() {
    local label=$1 tool=$2 direction=$3 round=$6 record=$work/record status=0
    client "$tool" "$direction" "$4" "$5"
    rm -f "$record"
    if [ "$tool" = talven-pty ]; then
        SHELL=/bin/bash script -qec "$(printf '%q ' "$top/bench/measure.sh" "$record" "${cmd[@]}")" /dev/null \
            </dev/null >/dev/null || status=$?
    else
        "$top/bench/measure.sh" "$record" "${cmd[@]}" </dev/null >/dev/null || status=$?
    fi
    if [ "$status" != 0 ] || [ ! -s "$record" ]; then
        echo "run.sh: $tool $direction $label failed (status $status)" >&2
        exit 1
    fi
    echo "$label $direction $tool $(cat "$record") $round" >> "$records"
}

# rotated N: the tools, starting with the N-th, so each takes each place.
rotated() {
    local n=$1 list=($tools)
    local count=${#list[@]} i
    for ((i = 0; i < count; i++)); do printf '%s ' "${list[(n + i) % count]}"; done
}

for s in $sizes; do
    n=$runs
    [ "$s" = "$largest" ] && n=$big_runs
    for direction in ${BENCH_DIRECTIONS:-put get}; do
        echo "== $s MiB $direction, $n runs per tool"
        for ((r = 0; r < n; r++)); do
            for tool in $(rotated "$r"); do
                if [ "$direction" = put ]; then
                    measure "$s" "$tool" put "$files/src-$s.bin" "up-$tool.bin" "$r"
                    cmp -s "$files/src-$s.bin" "$root/up-$tool.bin" || { echo "run.sh: $tool stored a wrong file" >&2; exit 1; }
                    rm -f "$root/up-$tool.bin"
                else
                    measure "$s" "$tool" get "$files/get-$tool.bin" "src-$s.bin" "$r"
                    cmp -s "$root/src-$s.bin" "$files/get-$tool.bin" || { echo "run.sh: $tool fetched a wrong file" >&2; exit 1; }
                    rm -f "$files/get-$tool.bin"
                fi
            done
        done
    done
done

echo "== small upload (connect, log in, 1 KiB, quit), $small_runs runs per tool"
for ((r = 0; r < small_runs; r++)); do
    for tool in $(rotated "$r"); do
        measure small "$tool" put "$files/small.bin" "small-$tool.bin" "$r"
        cmp -s "$files/small.bin" "$root/small-$tool.bin" || { echo "run.sh: $tool stored a wrong file" >&2; exit 1; }
        rm -f "$root/small-$tool.bin"
    done
done

echo "== $largest MiB upload resumed from 40 %, $big_runs runs"
resumed=$work/resumed.txt
for ((r = 0; r < big_runs; r++)); do
    head -c "$((largest * 1024 * 1024 * 2 / 5))" "$files/src-$largest.bin" > "$root/up-resumed.bin"
    measure resumed talven-resume put "$files/src-$largest.bin" up-resumed.bin "$r"
    cmp -s "$files/src-$largest.bin" "$root/up-resumed.bin" || { echo "run.sh: the resumed upload stored a wrong file" >&2; exit 1; }
    rm -f "$root/up-resumed.bin"
done
# The resumed runs leave the records, which the summary reads by size.
grep '^resumed ' "$records" > "$resumed"
sed -i '/^resumed /d' "$records"
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
whole=$(awk -v s="$largest" '$1 == s && $2 == "put" && $3 == "talven" { print $4 }' "$records" | median)
rest=$(awk '{ print $4 }' "$resumed" | median)

summary_options=(--load "$load_at_start / $(cut -d' ' -f1-3 /proc/loadavg)")
[ "$tls" = yes ] && summary_options+=(--tls)
"$python" "$top/bench/summarize.py" "${summary_options[@]}" "$records" "$("$top/tests/servers/ftp-server.sh" version vsftpd)" |
    tee "$out/summary.md"
printf '\nResumed upload of %s MiB from 40 %%: median %.3f s; uninterrupted: median %.3f s (resumed/whole %.2f, 0.60 for the data alone)\n' \
    "$largest" "$rest" "$whole" "$(awk -v a="$rest" -v b="$whole" 'BEGIN { print (b > 0) ? a / b : 0 }')" | tee -a "$out/summary.md"
