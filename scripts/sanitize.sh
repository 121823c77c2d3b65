#!/bin/sh
# Builds the native library and tests with AddressSanitizer (LeakSanitizer
# included) and UndefinedBehaviorSanitizer, and runs the whole suite. Any
# report, a leak or undefined behaviour included, fails the test it came from.
# Then builds the test programs that hold cases where threads work at once
# with ThreadSanitizer and runs those cases (the tsan test preset picks
# them); a data race fails its test. Both are built at -O1 with line tables
# only (-g1): the reports still name file and line, and the build takes
# about two thirds of the time of -O2 with full debug information.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build() {
  cmake --preset "$1" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  shift
  cmake --build "$@" 2>&1 | grep -v '^\[' || true
  cmake --build "$@" >/dev/null
}
build asan --preset asan
ctest --preset asan
build tsan --preset tsan --target fresh_process_test stream_test interop_test
ctest --preset tsan
