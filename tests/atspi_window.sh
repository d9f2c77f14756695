#!/usr/bin/env bash
# Runs atspi_window.py on a virtual display of its own (the first free one, as the X server
# itself finds it) with a session bus of its own, on which the accessibility bus starts when
# asked for.
#   atspi_window.sh PROGRAM TEST_DATA_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 200); do
    [ -s "$tmp/display" ] && break
    kill -0 $xvfb 2>/dev/null || { cat "$tmp/xvfb.log"; exit 1; }
    sleep 0.05
done
[ -s "$tmp/display" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$(cat "$tmp/display")
for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
unset DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS
dbus-run-session -- /usr/bin/python3 "$here/atspi_window.py" "$@"
