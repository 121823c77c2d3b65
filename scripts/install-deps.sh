#!/bin/sh
# Installs, from Debian's packages, what building and testing Talven needs,
# the four FTP servers of the interoperability tests included.
# Idempotent: packages already present are not fetched again. Run as root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

packages="cmake make g++ googletest clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 xvfb twm xdotool x11-utils
  libssl-dev openssl python3-openssl python3-cryptography
  vsftpd python3-pyftpdlib curl lftp
  iproute2 util-linux procps time zip unzip tmux"

missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done

if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing
fi

# vsftpd, pure-ftpd, proftpd and pyftpdlib, and the accounts they serve.
"$top/tests/servers/install.sh"
