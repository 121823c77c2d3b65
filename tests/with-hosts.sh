#!/bin/sh
# Runs a command in network and mount namespaces of its own, with only
# loopback up and an empty /etc/hosts and /etc/gai.conf (where the system has
# one) that the command may rewrite (their paths in TALVEN_TEST_HOSTS and TALVEN_TEST_GAI), so that a
# test can make host names resolve as it needs, in the order it needs. Needs root; without it the command runs as it is and the tests that
# need the hosts file skip themselves.
set -eu
if unshare -m -n true 2>/dev/null; then
  exec unshare -m -n sh -c '
    ip link set lo up
    mount --make-rprivate /
    hosts=$(mktemp /tmp/talven-hosts.XXXXXX)
    gai=$(mktemp /tmp/talven-gai.XXXXXX)
    trap "rm -f \"\$hosts\" \"\$gai\"" EXIT
    mount --bind "$hosts" /etc/hosts
    export TALVEN_TEST_HOSTS=/etc/hosts
    if [ -f /etc/gai.conf ]; then
      mount --bind "$gai" /etc/gai.conf
      export TALVEN_TEST_GAI=/etc/gai.conf
    fi
    "$@"' with-hosts "$@"
fi
exec "$@"
