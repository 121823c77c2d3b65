#!/bin/sh
# Builds the native library and tests with AddressSanitizer (LeakSanitizer
# included) and UndefinedBehaviorSanitizer, and runs the whole suite. Any
# report, a leak or undefined behaviour included, fails the test it came from.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake --preset asan -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset asan 2>&1 | grep -v '^\[' || true
cmake --build --preset asan >/dev/null
ctest --preset asan
