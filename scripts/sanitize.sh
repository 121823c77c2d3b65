#!/bin/sh
# Builds the native library and tests with AddressSanitizer (LeakSanitizer
# included) and UndefinedBehaviorSanitizer, and runs the whole suite. Any
# report, a leak or undefined behaviour included, fails the test it came from.
# Then builds them with ThreadSanitizer and runs the cases where threads work
# at once (the tsan test preset picks them); a data race fails its test.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
for preset in asan tsan; do
  cmake --preset $preset -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build --preset $preset 2>&1 | grep -v '^\[' || true
  cmake --build --preset $preset >/dev/null
  ctest --preset $preset
done
