#!/bin/bash
# Start, stop and identify the FTP servers used by Talven's tests.
#
#   ftp-server.sh start NAME PORT ROOT RUNDIR
#   ftp-server.sh stop RUNDIR
#   ftp-server.sh version NAME
#
# NAME is vsftpd, pure-ftpd, proftpd, pyftpdlib or ftp-srv (installed by
# install.sh).
# start writes NAME's config into RUNDIR and runs the server in the
# foreground mode of its own, in the background of this script and in a
# session of its own (setsid, so its pid is also its process group id).
# It listens on ADDRESS:PORT only (env ADDRESS: 127.0.0.1, the default, or
# ::1), passive mode advertises 127.0.0.1 with ports PASV_MIN..PASV_MAX (env,
# default 40000..40099; give servers that run at the same time distinct
# ranges); on ::1 clients use EPSV, which names the port alone.  The pid goes to RUNDIR/pid, logs to
# RUNDIR/*.log.  start returns once the server listens (at most 10 s; else
# it prints the logs and fails) and prints nothing on success.
#
# Login: user "anonymous" with an empty password ("PASS " or no PASS at all
# where the server takes USER alone: ftp-srv) lands in ROOT, shown as "/".
# vsftpd, proftpd, pyftpdlib and ftp-srv act as root in ROOT: every command
# works.
# pure-ftpd acts as the user `ftp` and, as its anonymous policy, refuses to
# overwrite, delete or rename files and to remove directories (550); start
# gives ROOT and its content to `ftp` (chown -R).  With FTP_ACCOUNT=puredb
# in the environment, pure-ftpd takes no anonymous logins and "anonymous"
# with the empty password is a virtual account of a PureDB in RUNDIR that
# acts as `ftp` in ROOT with an account's rights: it may overwrite and
# resume (REST and STOR).  The other servers ignore FTP_ACCOUNT.  See
# docs/servers.md.
#
# With FTP_TLS=yes in the environment, start requires explicit FTPS (AUTH
# TLS, then PROT P on every data connection) and shows a certificate for
# localhost and 127.0.0.1 signed by a test CA that it makes, RUNDIR/ca.pem;
# FTP_TLS_CERT names a certificate and key file to show instead (and no CA
# is made). With FTP_TLS_REUSE=optional, vsftpd and proftpd take data
# connections that do not resume the control connection's TLS session (the
# others never ask for it).
set -eu

HERE=$(cd "$(dirname "$0")" && pwd -P)
OPT=/opt/talven-ftpd
PAM_SERVICE=talven-ftp-anon    # /etc/pam.d/talven-ftp-anon, from install.sh

ADDRESS=${ADDRESS:-127.0.0.1}

die() { echo "ftp-server.sh: $*" >&2; exit 1; }

usage() {
    die "usage: $0 start NAME PORT ROOT RUNDIR | stop RUNDIR | version NAME"
}

# bin NAME: path of NAME's server binary.
bin() {
    case $1 in
        vsftpd)    set -- "$OPT/vsftpd/usr/sbin/vsftpd" /usr/sbin/vsftpd ;;
        pure-ftpd) set -- "$OPT/pure-ftpd/usr/sbin/pure-ftpd" ;;
        proftpd)   set -- "$OPT/proftpd/usr/sbin/proftpd" ;;
        pyftpdlib) echo /usr/bin/python3; return ;;
        ftp-srv)
            [ -f "$OPT/ftp-srv/node_modules/ftp-srv/package.json" ] ||
                die "ftp-srv is not installed: run tests/servers/install.sh as root"
            command -v node || die "node is not installed: run scripts/install-deps.sh as root"
            return ;;
        *) die "unknown server '$1' (vsftpd, pure-ftpd, proftpd, pyftpdlib, ftp-srv)" ;;
    esac
    for b in "$@"; do
        [ -x "$b" ] && { echo "$b"; return; }
    done
    die "$1 is not installed: run tests/servers/install.sh as root"
}

# alive PID: the process exists and is not a zombie (an orphaned server that
# exited stays a zombie until pid 1 reaps it, and kill -0 still succeeds).
alive() {
    [ -r "/proc/$1/stat" ] || return 1
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# listening PID PORT: PID owns a socket listening on ADDRESS:PORT.
listening() {
    local pid=$1 port table inode
    if [ "$ADDRESS" = ::1 ]; then
        port=$(printf '00000000000000000000000001000000:%04X' "$2") table=/proc/net/tcp6
    else
        port=$(printf '0100007F:%04X' "$2") table=/proc/net/tcp
    fi
    for inode in $(awk -v a="$port" '$2 == a && $4 == "0A" { print $10 }' "$table"); do
        if ls -l "/proc/$pid/fd" 2>/dev/null | grep -q "socket:\[$inode\]"; then
            return 0
        fi
    done
    return 1
}

show_logs() {
    local f
    for f in "$1"/*.log; do
        [ -s "$f" ] || continue
        echo "----- $f" >&2
        tail -n 50 "$f" >&2
    done
}

# tree PID: PID and all its descendants (from /proc, no fork per process).
tree() {
    local f s
    echo "$1"
    for f in /proc/[0-9]*/stat; do
        read -r s 2>/dev/null < "$f" || continue
        s=${s##*) }            # after the command name: "STATE PPID ..."
        s=${s#* }
        if [ "${s%% *}" = "$1" ]; then
            f=${f#/proc/}
            tree "${f%/stat}"
        fi
    done
}

# signal SIG PIDS...: send SIG to each live one.
signal() {
    local sig=$1 p
    shift
    for p in "$@"; do alive "$p" && kill "-$sig" "$p" 2>/dev/null || true; done
}

# any_alive PIDS...
any_alive() {
    local p
    for p in "$@"; do alive "$p" && return 0; done
    return 1
}

cmd_stop() {
    local rundir=$1 pid pids i
    [ -f "$rundir/pid" ] || return 0
    pid=$(cat "$rundir/pid")
    case $pid in ''|*[!0-9]*) die "bad pid file $rundir/pid" ;; esac
    if alive "$pid"; then
        # The server and its session processes (vsftpd puts each session
        # into a session of its own, which outlives the listener otherwise).
        pids=$(tree "$pid")
        # shellcheck disable=SC2086
        signal TERM $pids
        for i in $(seq 50); do any_alive $pids || break; sleep 0.1; done
        # shellcheck disable=SC2086
        if any_alive $pids; then
            signal KILL $pids
            for i in $(seq 50); do any_alive $pids || break; sleep 0.1; done
            any_alive $pids && die "pid $pid or its children do not exit"
        fi
    fi
    rm -f "$rundir/pid"
}

# make_certificate: RUNDIR/server.pem (certificate and key), RUNDIR/ca.pem.
make_certificate() {
    # A given certificate comes without a CA: only its fingerprint can
    # vouch for it.
    if [ -n "${FTP_TLS_CERT:-}" ]; then
        cp "$FTP_TLS_CERT" "$RUNDIR/server.pem"
        openssl x509 -in "$FTP_TLS_CERT" -out "$RUNDIR/server.crt"
        openssl pkey -in "$FTP_TLS_CERT" -out "$RUNDIR/server.key"
        return
    fi
    (
        cd "$RUNDIR"
        openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
            -subj "/CN=Talven test CA" 2>/dev/null
        openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost 2>/dev/null
        printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > server.ext
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile server.ext -out server.crt 2>/dev/null
        cat server.crt server.key > server.pem
    )
}

write_vsftpd_conf() {
    # A real anonymous login in vsftpd cannot use a writable root: it answers
    # PASS with "500 OOPS: vsftpd: refusing to run with writable root inside
    # chroot()" and ignores allow_writeable_chroot for anonymous.  So
    # anonymous logins are off and "anonymous" is an ordinary login name,
    # accepted with any password (also empty) by our PAM service (pam_permit).
    # guest_enable maps every such login to the guest user root, who is
    # chrooted into local_root=ROOT (allow_writeable_chroot works for it)
    # and, with virtual_use_local_privs, has the write rights of local users.
    mkdir -p "$RUNDIR/empty"     # vsftpd's privsep chroot, must stay empty
    cat > "$RUNDIR/vsftpd.conf" <<EOF
$(if [ "$ADDRESS" = ::1 ]; then
    echo listen=NO; echo listen_ipv6=YES; echo listen_address6=::1
else
    echo listen=YES; echo listen_ipv6=NO; echo listen_address=127.0.0.1
fi)
listen_port=$PORT
background=NO
anonymous_enable=NO
local_enable=YES
guest_enable=YES
guest_username=root
virtual_use_local_privs=YES
write_enable=YES
local_umask=022
local_root=$ROOT
chroot_local_user=YES
allow_writeable_chroot=YES
pam_service_name=$PAM_SERVICE
userlist_enable=NO
secure_chroot_dir=$RUNDIR/empty
seccomp_sandbox=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$PASV_MIN
pasv_max_port=$PASV_MAX
connect_from_port_20=NO
xferlog_enable=YES
log_ftp_protocol=YES
vsftpd_log_file=$RUNDIR/vsftpd.log
EOF
    # Otherwise vsftpd's defaults: require_ssl_reuse=YES, and TLS 1.3 when
    # the client offers it. Its default cipher list (DES-CBC3-SHA) is one
    # that OpenSSL 3 no longer offers for TLS 1.2. vsftpd takes the login
    # name "anonymous" for an anonymous login, which may not use TLS unless
    # allowed.
    [ "$TLS" = yes ] && cat >> "$RUNDIR/vsftpd.conf" <<EOF
ssl_enable=YES
rsa_cert_file=$RUNDIR/server.pem
force_local_logins_ssl=YES
force_local_data_ssl=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
ssl_ciphers=HIGH
debug_ssl=YES
EOF
    [ "$TLS" = yes ] && [ "${FTP_TLS_REUSE:-}" = optional ] && echo "require_ssl_reuse=NO" >> "$RUNDIR/vsftpd.conf"
    return 0
}

write_proftpd_conf() {
    # <Anonymous ROOT> with UserAlias anonymous -> root, no password needed.
    # Acting as root (RootLogin on, UseFtpUsers off) keeps files that tests
    # put into ROOT writable; DelayEngine off drops mod_delay's login delays.
    cat > "$RUNDIR/proftpd.conf" <<EOF
ServerName "Talven test proftpd"
ServerType standalone
DefaultServer on
DefaultAddress $ADDRESS
SocketBindTight on
Port $PORT
UseIPv6 $([ "$ADDRESS" = ::1 ] && echo on || echo off)
PassivePorts $PASV_MIN $PASV_MAX
$([ "$ADDRESS" = ::1 ] || echo MasqueradeAddress 127.0.0.1)
User root
Group root
PidFile "$RUNDIR/proftpd.pid"
ScoreboardFile "$RUNDIR/proftpd.scoreboard"
SystemLog "$RUNDIR/proftpd.log"
TransferLog "$RUNDIR/xfer.log"
ControlsEngine off
WtmpLog off
UseReverseDNS off
DelayEngine off
AuthOrder mod_auth_unix.c
UseFtpUsers off
Umask 022
AllowOverwrite on
AllowStoreRestart on
<Anonymous "$ROOT">
  User root
  Group root
  UserAlias anonymous root
  AnonRequirePassword off
  RequireValidShell off
  RootLogin on
  <Limit WRITE>
    AllowAll
  </Limit>
</Anonymous>
EOF
    [ "$TLS" = yes ] && cat >> "$RUNDIR/proftpd.conf" <<EOF
ModulePath $OPT/proftpd-crypto/usr/lib/proftpd
LoadModule mod_tls.c
<IfModule mod_tls.c>
  TLSEngine on
  TLSRequired on
  TLSProtocol TLSv1.2 TLSv1.3
  TLSRSACertificateFile $RUNDIR/server.crt
  TLSRSACertificateKeyFile $RUNDIR/server.key
  TLSVerifyClient off
  TLSLog $RUNDIR/tls.log
  $([ "${FTP_TLS_REUSE:-}" = optional ] && echo "TLSOptions NoSessionReuseRequired")
</IfModule>
EOF
    return 0
}

# write_puredb HOME: a PureDB with the virtual account "anonymous", empty
# password, acting as `ftp`, chrooted into HOME: RUNDIR/pureftpd.pdb.
write_puredb() {
    local hash
    # perl (essential in Debian): openssl passwd refuses an empty password.
    hash=$(perl -e 'print crypt("", q($6$talventest$))')
    case $hash in \$6\$*) ;; *) die "crypt gave '$hash'" ;; esac
    printf 'anonymous:%s:%s:%s::%s/./::::::::::::\n' "$hash" "$(id -u ftp)" "$(id -g ftp)" "$1" \
        > "$RUNDIR/pureftpd.passwd"
    "$OPT/pure-ftpd/usr/bin/pure-pw" mkdb "$RUNDIR/pureftpd.pdb" -f "$RUNDIR/pureftpd.passwd" >&2 ||
        die "pure-pw mkdb failed"
}

cmd_start() {
    NAME=$1 PORT=$2 ROOT=$3 RUNDIR=$4
    PASV_MIN=${PASV_MIN:-40000} PASV_MAX=${PASV_MAX:-40099}
    case $ADDRESS in 127.0.0.1|::1) ;; *) die "ADDRESS is 127.0.0.1 or ::1, not '$ADDRESS'" ;; esac
    case $PORT$PASV_MIN$PASV_MAX in ''|*[!0-9]*) die "bad port, PASV_MIN or PASV_MAX" ;; esac
    [ "$PASV_MIN" -le "$PASV_MAX" ] || die "PASV_MIN $PASV_MIN > PASV_MAX $PASV_MAX"
    [ -d "$ROOT" ] || die "ROOT '$ROOT' is not a directory"
    mkdir -p "$RUNDIR"
    ROOT=$(cd "$ROOT" && pwd -P)
    RUNDIR=$(cd "$RUNDIR" && pwd -P)
    if [ -f "$RUNDIR/pid" ] && alive "$(cat "$RUNDIR/pid")"; then
        die "a server from $RUNDIR is still running (pid $(cat "$RUNDIR/pid"))"
    fi
    rm -f "$RUNDIR"/*.log "$RUNDIR/pid"
    local b stdin=/dev/null
    b=$(bin "$NAME")
    TLS=${FTP_TLS:-no}
    [ "$TLS" = yes ] && make_certificate

    case $NAME in
    vsftpd)
        [ -f "/etc/pam.d/$PAM_SERVICE" ] || die "no /etc/pam.d/$PAM_SERVICE: run install.sh"
        write_vsftpd_conf
        set -- "$b" "$RUNDIR/vsftpd.conf"
        stdin=$RUNDIR/vsftpd-fd0.log  # vsftpd writes start errors to fd 0
        : > "$stdin"
        ;;
    pure-ftpd)
        # pure-ftpd chroots anonymous users into the home of the user `ftp`
        # and has no option to name another directory.  Rather than changing
        # that home, the server runs in a mount namespace of its own where
        # ROOT is bind-mounted over it, so servers with different ROOTs can
        # run at once.  Anonymous sessions act as `ftp`, so ROOT and what is
        # in it are given to `ftp`: uploads into ROOT and its subdirectories
        # work, and overwriting a file that is there gets pure-ftpd's "550
        # Anonymous users may not overwrite existing files" (a file that
        # root puts there after start gets "553 Can't open that file:
        # Permission denied" instead).
        local home
        home=$(getent passwd ftp | cut -d: -f6)
        case $home in /|"") die "user ftp missing or with home '/': run install.sh" ;; esac
        [ -d "$home" ] || die "home $home of user ftp missing: run install.sh"
        chown -R ftp:ftp "$ROOT"
        # -e anonymous only, -M anonymous may MKD, -H no DNS, -4 IPv4 only,
        # -S address,port, -p passive ports, -P passive address, -O xfer log
        local family="-4 -P 127.0.0.1" logins="-e -M"
        [ "$ADDRESS" = ::1 ] && family=
        # -E no anonymous logins, so "anonymous" is an account's name.
        if [ "${FTP_ACCOUNT:-}" = puredb ]; then
            write_puredb "$home"
            logins="-E -l puredb:$RUNDIR/pureftpd.pdb"
        fi
        # shellcheck disable=SC2086
        set -- unshare -m sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh \
            "$ROOT" "$home" "$b" $logins -H $family -S "$ADDRESS,$PORT" \
            -p "$PASV_MIN:$PASV_MAX" -O "clf:$RUNDIR/xfer.log"
        # --tls=3: TLS required on the control and the data connections.
        [ "$TLS" = yes ] && set -- "$@" --tls=3 --certfile="$RUNDIR/server.pem"
        ;;
    proftpd)
        write_proftpd_conf
        set -- "$b" -n -c "$RUNDIR/proftpd.conf"
        ;;
    pyftpdlib)
        set -- "$b" "$HERE/pyftpd_anon.py" "$PORT" "$ROOT" "$PASV_MIN" "$PASV_MAX" "$ADDRESS"
        [ "$TLS" = yes ] && set -- "$@" "$RUNDIR/server.pem"
        ;;
    ftp-srv)
        set -- "$b" "$HERE/ftp_srv_anon.js" "$OPT/ftp-srv/node_modules" "$PORT" "$ROOT" "$PASV_MIN" "$PASV_MAX" \
            "$ADDRESS"
        [ "$TLS" = yes ] && set -- "$@" "$RUNDIR/server.pem"
        ;;
    esac

    # Not a process group leader here, so setsid execs without forking and
    # $! is the server's own pid.
    setsid "$@" 0<>"$stdin" >"$RUNDIR/server.log" 2>&1 &
    local pid=$! i
    echo "$pid" > "$RUNDIR/pid"
    for i in $(seq 100); do
        if ! alive "$pid"; then
            echo "ftp-server.sh: $NAME exited during start" >&2
            show_logs "$RUNDIR"
            rm -f "$RUNDIR/pid"
            exit 1
        fi
        listening "$pid" "$PORT" && return 0
        sleep 0.1
    done
    echo "ftp-server.sh: $NAME does not listen on $ADDRESS:$PORT after 10 s" >&2
    show_logs "$RUNDIR"
    cmd_stop "$RUNDIR"
    exit 1
}

# deb_version PACKAGE NAME: Debian version of the installed or unpacked package.
deb_version() {
    if [ -f "$OPT/$2/VERSION" ]; then
        cat "$OPT/$2/VERSION"
    else
        dpkg-query -W -f '${Version}' "$1" 2>/dev/null || echo unknown
    fi
}

cmd_version() {
    local b v
    b=$(bin "$1")
    case $1 in
        vsftpd)    v=$("$b" -v 0>&1 | sed 's/.*version //')  # -v writes to fd 0
                   echo "vsftpd $v (Debian vsftpd $(deb_version vsftpd vsftpd))" ;;
        pure-ftpd) v=$("$b" --help 2>&1 | head -n 1 | sed 's/^pure-ftpd v//; s/ .*//')
                   echo "pure-ftpd $v (Debian pure-ftpd $(deb_version pure-ftpd pure-ftpd))" ;;
        proftpd)   v=$("$b" -v 2>&1 | sed 's/.*Version //')
                   echo "proftpd $v (Debian proftpd-core $(deb_version proftpd-core proftpd))" ;;
        pyftpdlib) v=$("$b" -c 'import pyftpdlib; print(pyftpdlib.__ver__)')
                   echo "pyftpdlib $v (Debian python3-pyftpdlib $(deb_version python3-pyftpdlib pyftpdlib))" ;;
        ftp-srv)   v=$("$b" -p 'require(process.argv[1]).version' "$OPT/ftp-srv/node_modules/ftp-srv/package.json")
                   echo "ftp-srv $v (npm, Node $("$b" --version))" ;;
    esac
}

[ $# -ge 1 ] || usage
case $1 in
    start)   [ $# -eq 5 ] || usage; cmd_start "$2" "$3" "$4" "$5" ;;
    stop)    [ $# -eq 2 ] || usage; cmd_stop "$2" ;;
    version) [ $# -eq 2 ] || usage; cmd_version "$2" ;;
    *) usage ;;
esac
