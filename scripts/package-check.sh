#!/bin/sh
# Builds the Linux install tree and the Debian packages (preset package,
# under /usr), and checks them as their users would meet them:
#   1. installs into a staging folder (DESTDIR) and checks what lies there;
#   2. builds a small C program against the staged tree, once through
#      pkg-config and once through find_package(Talven), and runs both
#      against vsftpd on 127.0.0.1:21 (tests/interop/run.sh);
#   3. packs the .deb files into dist/, compares their contents with the
#      expected lists, and runs lintian, which may report only the tags
#      explained in docs/packaging.md.
# Run as root on Debian 12 (scripts/install-deps.sh installs the tools).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# Built with Debian's hardening flags, as a Debian package build would be.
build=build/package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake --preset package -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build --preset package >"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
if grep -q 'warning:' "$build.log"; then cat "$build.log" >&2; echo "warnings in the package build" >&2; exit 1; fi
sh tests/exported_names.sh "$build/libtalvenftp.so" ftp/talvenftp.h platform/posix/talven_abi.h
sh tests/exported_names.sh "$build/app/talven" ftp/talvenftp.h platform/posix/talven_abi.h

work=$(mktemp -d /tmp/talven-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
DESTDIR=$stage cmake --install "$build" >/dev/null
libdir=/usr/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

# expect_files WHAT EXPECTED ACTUAL
expect_files() {
  [ "$2" = "$3" ] && return 0
  echo "$1 differs from the expected list (- expected, + found):" >&2
  printf '%s\n' "$2" >"$work/expected"; printf '%s\n' "$3" >"$work/found"
  diff -u "$work/expected" "$work/found" | tail -n +3 >&2
  exit 1
}

program_files="/usr/bin/talven
/usr/share/doc/talven/README.md
/usr/share/man/man1/talven.1.gz"
library_files="$libdir/libtalvenftp.so.1 -> libtalvenftp.so.1.1.0
$libdir/libtalvenftp.so.1.1.0"
development_files="/usr/include/talven/talven_abi.h
/usr/include/talven/talvenftp.h
$libdir/cmake/Talven/TalvenConfig.cmake
$libdir/cmake/Talven/TalvenConfigVersion.cmake
$libdir/cmake/Talven/TalvenTargets-release.cmake
$libdir/cmake/Talven/TalvenTargets.cmake
$libdir/libtalvenftp.so -> libtalvenftp.so.1
$libdir/pkgconfig/talvenftp.pc"

staged=$(cd "$stage" && find . ! -type d | LC_ALL=C sort | while read -r f; do
  f=${f#.}; if [ -L "$stage$f" ]; then echo "$f -> $(readlink "$stage$f")"; else echo "$f"; fi
done)
expect_files "the staged install" \
  "$(printf '%s\n' "$program_files" "$library_files" "$development_files" | LC_ALL=C sort)" "$staged"
objdump -p "$stage$libdir/libtalvenftp.so.1" | grep -q 'SONAME *libtalvenftp.so.1$' ||
  { echo "libtalvenftp.so.1 does not carry the SONAME libtalvenftp.so.1" >&2; exit 1; }

# The consumer, through each way of finding the library.
export PKG_CONFIG_PATH="$stage$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror tests/package/consumer.c $(pkg-config --cflags --libs talvenftp) -o "$work/consumer-pkg-config"
cmake -S tests/package -B "$work/cmake" -DCMAKE_PREFIX_PATH="$stage/usr" >/dev/null
cmake --build "$work/cmake" >/dev/null
cp "$work/cmake/consumer" "$work/consumer-cmake"
for consumer in "$work/consumer-pkg-config" "$work/consumer-cmake"; do
  LD_LIBRARY_PATH=$stage$libdir ldd "$consumer" | grep -q "=> $stage$libdir/libtalvenftp.so.1 " ||
    { echo "$consumer does not load the staged libtalvenftp.so.1" >&2; exit 1; }
done
(cd "$work" && LD_LIBRARY_PATH=$stage$libdir "$top/tests/interop/run.sh" vsftpd \
  sh -c './consumer-pkg-config via-pkg-config.bin && ./consumer-cmake via-find-package.bin')

# The Debian packages.
rm -f dist/*.deb
cpack --preset package -B "$top/dist" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
rm -rf dist/_CPack_Packages
version=$(sed -n 's/^project(Talven VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
# deb_files PACKAGE: its files (directories left out), symlinks with targets.
deb_files() {
  dpkg-deb -c "dist/$1_${version}_$arch.deb" | grep -v '^d' | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ *\./, ""); print }' | LC_ALL=C sort
}
# expect_package PACKAGE FILES: the package holds FILES, its changelog and
# its copyright file.
expect_package() {
  expect_files "$1" "$(printf '%s\n' "$2" "/usr/share/doc/$1/changelog.gz" "/usr/share/doc/$1/copyright" | LC_ALL=C sort)" "$(deb_files "$1")"
  echo "dist/$1_${version}_$arch.deb: $(dpkg-deb -f "dist/$1_${version}_$arch.deb" Depends Recommends | tr '\n' ' ')"
}
expect_package talven "$program_files"
expect_package libtalvenftp1 "$library_files"
expect_package libtalvenftp-dev "$development_files"

# What lintian may still report, and why, is in docs/packaging.md.
lintian --display-info --tag-display-limit 0 dist/*.deb 2>&1 | grep -v '^running with root privileges' >"$work/lintian" || true
cat "$work/lintian"
unexplained=$(grep '^[EW]:' "$work/lintian" | grep -v -e ': maintscript-calls-ldconfig \[' || true)
[ -z "$unexplained" ] || { echo "lintian reports more than docs/packaging.md explains:" >&2; echo "$unexplained" >&2; exit 1; }
