#!/bin/sh
# Fails first on unresolved merge markers. Builds Talven natively and for
# Windows (MinGW-w64 i686 and x86_64) with warnings as errors, checks the
# export and import tables, packs the Windows release archive, and runs the
# whole test suite natively, natively under the sanitizers (ThreadSanitizer:
# the cases where threads work at once) and, for both Windows builds, under
# Wine (the shipped i686 one under 32-bit Wine where this machine can run it,
# else skipped with the reason); checks the Linux install tree and the Debian
# packages; runs each fuzz target for half a minute.
# Run as root on Debian 12: it installs what it needs first.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

"$top/scripts/check-merge-markers.sh"
"$top/scripts/install-deps.sh"
"$top/tests/servers/install.sh" >/dev/null

stage() { printf '\n==== %s\n' "$*"; }

build() {
  cmake --preset "$1" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build --preset "$1" 2>&1 | tee "build/$1.log" | grep -v '^\[' || true
  # Linker warnings are not turned into errors by the compiler flag.
  if grep -q 'warning:' "build/$1.log"; then echo "warnings in the $1 build" >&2; exit 1; fi
  # tee hides the build's status; the log's last line shows a failed build.
  cmake --build --preset "$1" >/dev/null
}

stage "native build and tests"
build native
ctest --preset native

stage "Linux install tree, a C program linked against it, Debian packages"
scripts/package-check.sh

stage "native tests under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer"
scripts/sanitize.sh

stage "fuzzing: each libFuzzer target for a bounded time"
scripts/fuzz.sh 30

stage "Windows i686 build (the shipped program)"
build mingw-i686
scripts/check-exports.sh i686-w64-mingw32-objdump build/mingw-i686/talvenftp.dll build/mingw-i686/app/talven.exe
scripts/check-imports.sh i686-w64-mingw32-objdump build/mingw-i686/talvenftp.dll build/mingw-i686/app/talven.exe

stage "Windows release archive"
scripts/release.sh
expected="talven-windows-i686/
talven-windows-i686/LICENSE.txt
talven-windows-i686/README-windows.txt
talven-windows-i686/include/
talven-windows-i686/include/talven_abi.h
talven-windows-i686/include/talvenftp.h
talven-windows-i686/talven.exe
talven-windows-i686/talvenftp.dll"
[ "$(unzip -Z1 dist/talven-windows-i686.zip | LC_ALL=C sort)" = "$expected" ] ||
  { echo "dist/talven-windows-i686.zip does not hold exactly:" >&2; echo "$expected" >&2; exit 1; }
unzip -p dist/talven-windows-i686.zip talven-windows-i686/talven.exe | cmp - build/mingw-i686/app/talven.exe
msi_files=$(msiinfo export dist/talven-windows-i686.msi File | tail -n +4 | cut -f 3 | LC_ALL=C sort | tr '\n' ' ')
[ "$msi_files" = "LICENSE.txt README-windows.txt talven.exe talven_abi.h talvenftp.dll talvenftp.h " ] ||
  { echo "dist/talven-windows-i686.msi holds: $msi_files" >&2; exit 1; }

stage "Windows x86_64 build and tests under Wine"
build mingw-x86_64
scripts/check-exports.sh x86_64-w64-mingw32-objdump build/mingw-x86_64/talvenftp.dll build/mingw-x86_64/app/talven.exe
scripts/check-imports.sh x86_64-w64-mingw32-objdump build/mingw-x86_64/talvenftp.dll build/mingw-x86_64/app/talven.exe
# Both suites run in one Wine prefix: a fresh one takes a while to make.
if why=$("$top/scripts/i686-gate.sh"); then
  stage "the x86_64 suite, then the shipped i686 build's suite under 32-bit Wine"
  "$top/scripts/with-wine.sh" sh -c 'ctest --preset mingw-x86_64 && ctest --preset mingw-i686'
else
  stage "the x86_64 suite under Wine; the i686 suite is skipped: $why"
  # The shipped installer is still installed and removed (its 32-bit
  # program cannot run here; the x86_64 suite sends through its own).
  WINE=/usr/lib/wine/wine64 SOURCE=$top INSTALL_ONLY=1 MSI=$top/dist/talven-windows-i686.msi \
    TALVEN=$top/build/mingw-i686/app/talven.exe POPUP_PROBE=$top/build/mingw-x86_64/tests/win32/popup_probe.exe \
    SERVER_HOST=$(sed -n 's/^TALVEN_SERVER_HOST:STRING=//p' build/mingw-i686/CMakeCache.txt) \
    "$top/scripts/with-wine.sh" sh -c 'ctest --preset mingw-x86_64 &&
      { sh tests/win32/msi_install.sh; status=$?; [ "$status" = 0 ] || [ "$status" = 77 ]; }'
fi

stage "all tests passed"
