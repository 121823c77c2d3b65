#!/bin/sh
# Runs a command in a network namespace of its own with only loopback up, so
# that a test may serve on 127.0.0.1:21 and nothing it does leaves the host.
# Needs root (or unprivileged user namespaces); without them the command runs
# as it is and tests that need port 21 skip themselves.
set -eu
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' in-netns "$@"
fi
exec "$@"
