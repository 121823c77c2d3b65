#!/bin/sh
# Builds the shipped 32-bit Windows program and library (MinGW-w64 i686),
# checks their export and import tables, and packs them with the exported
# header, a readme for Windows users and the license (LICENSE.txt) into
# dist/talven-windows-i686.zip, and into the installer
# dist/talven-windows-i686.msi (wixl, from msitools).
# The build-time settings are those of build/mingw-i686; set them first with
#   cmake --preset mingw-i686 -DTALVEN_SERVER_HOST=ftp.example.com
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

build=build/mingw-i686
name=talven-windows-i686
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 --target talven talvenftp >/dev/null
scripts/check-exports.sh i686-w64-mingw32-objdump "$build/talvenftp.dll" "$build/app/talven.exe"
scripts/check-imports.sh i686-w64-mingw32-objdump "$build/talvenftp.dll" "$build/app/talven.exe"

stage=$(mktemp -d /tmp/talven-release.XXXXXX)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/include"
cp "$build/app/talven.exe" "$build/talvenftp.dll" "$build/README-windows.txt" "$build/LICENSE.txt" "$stage/$name/"
cp ftp/talvenftp.h platform/win32/talven_abi.h "$stage/$name/include/"
mkdir -p dist
rm -f "dist/$name.zip" "dist/$name.msi"
(cd "$stage" && zip -q -X -r "$top/dist/$name.zip" "$name")
echo "dist/$name.zip:"
unzip -Z1 "dist/$name.zip" | sed 's/^/  /'

# The installer holds the same files (cmake/windows/talven.wxs.in).
cmake --build --preset mingw-i686 --target talven_msi >/dev/null
cp "$build/talven.msi" "dist/$name.msi"
echo "dist/$name.msi:"
msiinfo export "dist/$name.msi" File | tail -n +4 | cut -f 3 | sed 's/^/  /'
