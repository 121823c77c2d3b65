#!/bin/bash
# measure.sh RECORD COMMAND...: runs COMMAND under /usr/bin/time -v and
# writes one line to RECORD: wall seconds (from bash's microsecond clock),
# user and system CPU seconds, peak resident KiB and the exit status.
# run.sh calls it directly, or inside a pseudo-terminal through script(1).
record=$1
shift
timing="$record.time"
start=$EPOCHREALTIME
/usr/bin/time -v -o "$timing" "$@"
status=$?
end=$EPOCHREALTIME
awk -v start="$start" -v end="$end" -v status="$status" '
    /User time \(seconds\)/ { user = $NF }
    /System time \(seconds\)/ { sys_time = $NF }
    /Maximum resident set size/ { rss = $NF }
    END { printf "%.6f %s %s %s %d\n", end - start, user, sys_time, rss, status }
' "$timing" > "$record"
rm -f "$timing"
exit "$status"
