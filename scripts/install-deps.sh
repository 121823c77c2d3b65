#!/bin/sh
# Installs, from Debian's packages, what building and testing Talven needs,
# the five FTP servers of the interoperability tests included, and Wine's
# 32-bit loader where the kernel runs 32-bit programs.
# Idempotent: packages already present are not fetched again. Run as root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

packages="cmake make g++ googletest clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 xvfb twm xdotool x11-utils
  libssl-dev openssl python3-openssl python3-cryptography
  vsftpd python3-pyftpdlib curl lftp
  iproute2 util-linux procps time zip unzip tmux tcpdump
  pkg-config dpkg-dev file lintian
  msitools wixl"

missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done

# Node.js and npm (for the ftp-srv test server) from Debian's packages, unless
# the machine already has them: a Node.js build that bundles its own npm
# conflicts with Debian's npm package.
command -v node >/dev/null || missing="$missing nodejs"
command -v npm >/dev/null || missing="$missing npm"

if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing
fi

# Wine's 32-bit loader, for the tests of the shipped 32-bit build, where the
# kernel runs 32-bit programs (the i386 architecture is of no use elsewhere).
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" &&
  why=$("$top/scripts/i686-gate.sh" --kernel); then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends wine32:i386
elif [ -n "${why:-}" ]; then
  echo "install-deps.sh: not installing wine32:i386: $why"
fi

# vsftpd, pure-ftpd, proftpd, pyftpdlib and ftp-srv, and the accounts they serve.
"$top/tests/servers/install.sh"
