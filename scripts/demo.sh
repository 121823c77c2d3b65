#!/bin/sh
# Shows the main job: builds talven, starts vsftpd on 127.0.0.1:21 in a
# network namespace of its own, uploads a small sample file with talven and
# checks that it arrived. Run as root on Debian 12.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${TALVEN_DEMO_NETNS:-}" ]; then
  "$top/scripts/install-deps.sh"
  "$top/tests/servers/install.sh"
  cd "$top"
  cmake --preset native >/dev/null
  cmake --build --preset native --target talven >/dev/null
  TALVEN_DEMO_NETNS=1 exec unshare -n sh "$0"
fi

ip link set lo up
work=$(mktemp -d /tmp/talven-demo.XXXXXX)
mkdir "$work/root" "$work/run"
trap '"$top/tests/servers/ftp-server.sh" stop "$work/run"; rm -rf "$work"' EXIT
"$top/tests/servers/ftp-server.sh" start vsftpd 21 "$work/root" "$work/run"

cd "$work"
seq 1 5000 >sample.txt
echo "\$ talven sample.txt    (server localhost:21, vsftpd)"
# No display and no terminal: the popup's text comes on standard output.
code=0
env -u DISPLAY -u WAYLAND_DISPLAY "$top/build/native/app/talven" sample.txt </dev/null >output || code=$?
cat output
echo "exit code: $code"
cmp sample.txt root/sample.txt
echo "the server holds sample.txt, $(wc -c <root/sample.txt) bytes, identical to the local file"
