#!/bin/sh
# Builds the libFuzzer targets (fuzz/, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting
# from its seed corpus in fuzz/corpus/<target>/. New inputs found on the way
# go to a scratch directory, not into the repository; a crash, a hang or a
# leak fails the run and leaves its input in build/fuzz/findings/.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60, all)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-"reply pasv announced_size stream reply_reader command_line popup"}

cmake --preset fuzz -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset fuzz 2>&1 | grep -v '^\[' || true
cmake --build --preset fuzz >/dev/null

findings="$top/build/fuzz/findings"
scratch=$(mktemp -d /tmp/talven-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$findings"

# Targets that read through a stream need inputs past the 65,536-byte line
# capacity.
max_len() { case $1 in stream|reply_reader) echo 140000 ;; *) echo 4096 ;; esac; }

# fuzz TARGET: one target for the bounded time; fails on a finding.
fuzz() {
  mkdir -p "$scratch/$1"
  log="$scratch/$1.log"
  if ! "build/fuzz/fuzz/${1}_fuzz" -max_total_time="$seconds" -max_len="$(max_len "$1")" \
      -timeout=20 -print_final_stats=1 -artifact_prefix="$findings/$1-" \
      "$scratch/$1" "fuzz/corpus/$1" >"$log" 2>&1; then
    echo "$1: FAILED" >&2
    tail -60 "$log" >&2
    return 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$1: $runs executions in ${seconds} s, no crash, hang or leak"
}

# Each target runs on one core: as many at once as there are cores, so
# that the same time per target costs a fraction of the wall time.
cores=$(nproc)
status=0
running=""
for target in $targets; do
  fuzz "$target" &
  running="$running $!"
  set -- $running
  if [ $# -ge "$cores" ]; then
    for pid in $running; do wait "$pid" || status=1; done
    running=""
  fi
done
for pid in $running; do wait "$pid" || status=1; done
exit $status
