#!/bin/bash
# Install the five FTP servers used by Talven's tests (run as root on Debian 12).
#
#   vsftpd     apt package (if apt refuses it because another ftp-server
#              package is installed, it is unpacked like the two below)
#   pure-ftpd  unpacked from its .deb into /opt/talven-ftpd/pure-ftpd
#   proftpd    proftpd-core unpacked into /opt/talven-ftpd/proftpd, with
#              proftpd-mod-crypto (mod_tls) in /opt/talven-ftpd/proftpd-crypto
#   pyftpdlib  apt package python3-pyftpdlib, used with /usr/bin/python3
#   ftp-srv    npm package ftp-srv 4.6.3 (Node from Debian's nodejs and npm),
#              installed with `npm ci` from tests/servers/ftp-srv/package.json
#              and its package-lock.json into /opt/talven-ftpd/ftp-srv
#
# vsftpd, pure-ftpd and proftpd-core conflict with each other as Debian
# packages, so only one can be installed by apt.  The others are fetched with
# `apt-get download`, unpacked with `dpkg-deb -x`, and their runtime library
# dependencies (the lib* packages of their Depends field) installed with apt.
# proftpd-basic only adds mod_wrap/mod_crypto; of those the tests load only
# mod_tls, unpacked from proftpd-mod-crypto beside proftpd-core.
#
# Also sets up: the system user `ftp` (pure-ftpd's anonymous account) and the
# PAM service /etc/pam.d/talven-ftp-anon used by vsftpd (see ftp-server.sh).
#
# Idempotent: everything already present is skipped, and apt-get update runs
# only when something has to be fetched.
set -eu

OPT=/opt/talven-ftpd
PAM_FILE=/etc/pam.d/talven-ftp-anon

[ "$(id -u)" = 0 ] || { echo "install.sh: must run as root" >&2; exit 1; }

export DEBIAN_FRONTEND=noninteractive
updated=no
apt_update() {
    if [ "$updated" = no ]; then
        apt-get update -q >/dev/null
        updated=yes
    fi
}
apt_install() {
    apt_update
    apt-get install -y -q --no-install-recommends "$@" >/dev/null
}

# unpack PACKAGE NAME: extract PACKAGE's .deb into $OPT/NAME and install the
# libraries it links against.  $OPT/NAME/VERSION marks a finished unpack.
unpack() {
    pkg=$1 name=$2
    [ -f "$OPT/$name/VERSION" ] && return 0
    apt_update
    tmp=$(mktemp -d)
    chmod 777 "$tmp"   # so apt's _apt user may write the download there
    (cd "$tmp" && apt-get download -q "$pkg" >/dev/null)
    deb=$(ls "$tmp"/*.deb)
    libs=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | grep -E '^(lib|zlib)' || true)
    # shellcheck disable=SC2086
    [ -z "$libs" ] || apt_install $libs
    rm -rf "${OPT:?}/$name"
    mkdir -p "$OPT/$name"
    dpkg-deb -x "$deb" "$OPT/$name"
    dpkg-deb -f "$deb" Version > "$OPT/$name/VERSION"
    rm -rf "$tmp"
    echo "install.sh: unpacked $pkg $(cat "$OPT/$name/VERSION") into $OPT/$name"
}

# Check that a binary starts: no missing shared libraries.
check_libs() {
    if ldd "$1" | grep -q 'not found'; then
        echo "install.sh: $1 misses libraries:" >&2
        ldd "$1" | grep 'not found' >&2
        exit 1
    fi
}

# Tools used by ftp-server.sh and smoke.sh.
missing=""
command -v curl >/dev/null || missing="$missing curl"
command -v ip >/dev/null || missing="$missing iproute2"
command -v unshare >/dev/null || missing="$missing util-linux"
/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null || missing="$missing python3-pyftpdlib"
command -v node >/dev/null || missing="$missing nodejs"
command -v npm >/dev/null || missing="$missing npm"
# shellcheck disable=SC2086
[ -z "$missing" ] || apt_install $missing

# vsftpd: apt, falling back to an unpacked copy when apt cannot install it.
if [ ! -x /usr/sbin/vsftpd ] && [ ! -f "$OPT/vsftpd/VERSION" ]; then
    apt_install vsftpd || unpack vsftpd vsftpd
fi

unpack pure-ftpd pure-ftpd
unpack proftpd-core proftpd
# mod_tls, for the TLS runs (proftpd-basic would pull in the conflicting
# packages again).
unpack proftpd-mod-crypto proftpd-crypto

# ftp-srv: the versions of package-lock.json exactly, without running any
# package's install scripts. $OPT/ftp-srv/package-lock.json marks a finished
# install of that lock.
ftp_srv_source=$(cd "$(dirname "$0")" && pwd -P)/ftp-srv
if ! cmp -s "$ftp_srv_source/package-lock.json" "$OPT/ftp-srv/package-lock.json"; then
    rm -rf "${OPT:?}/ftp-srv" "$OPT/ftp-srv.new"
    mkdir -p "$OPT/ftp-srv.new"
    cp "$ftp_srv_source/package.json" "$ftp_srv_source/package-lock.json" "$OPT/ftp-srv.new/"
    (cd "$OPT/ftp-srv.new" && npm ci --omit=dev --ignore-scripts --no-audit --no-fund >/dev/null)
    mv "$OPT/ftp-srv.new" "$OPT/ftp-srv"
    echo "install.sh: installed ftp-srv $(node -p 'require(process.argv[1]).version' \
        "$OPT/ftp-srv/node_modules/ftp-srv/package.json") into $OPT/ftp-srv"
fi

for bin in /usr/sbin/vsftpd "$OPT/vsftpd/usr/sbin/vsftpd" \
           "$OPT/pure-ftpd/usr/sbin/pure-ftpd" "$OPT/proftpd/usr/sbin/proftpd" \
           "$OPT/proftpd-crypto/usr/lib/proftpd/mod_tls.so"; do
    [ -x "$bin" ] && check_libs "$bin"
done

# pure-ftpd serves anonymous users as the system user `ftp` (uid/gid != 0),
# chrooted into its home directory (ftp-server.sh bind-mounts ROOT there).
if ! getent passwd ftp >/dev/null; then
    getent group ftp >/dev/null || groupadd --system ftp
    useradd --system --gid ftp --home-dir /srv/ftp --no-create-home \
        --shell /usr/sbin/nologin ftp
fi
ftp_home=$(getent passwd ftp | cut -d: -f6)
case $ftp_home in
    /|"") echo "install.sh: user ftp has home '$ftp_home'; give it a directory of its own" >&2
          exit 1 ;;
esac
mkdir -p "$ftp_home"

# PAM service for vsftpd's "anonymous" login: any password, also empty.
pam='auth     required pam_permit.so
account  required pam_permit.so
session  required pam_permit.so'
if [ "$(cat "$PAM_FILE" 2>/dev/null)" != "$pam" ]; then
    printf '%s\n' "$pam" > "$PAM_FILE"
fi
