#!/usr/bin/env bash
# Runs atspi_window.py on a virtual display of its own (the first free one, as the X server
# itself finds it) with a session bus of its own, on which the accessibility bus starts when
# asked for. A program that could not show on the display (exit status 3) is tried once more on
# a new one.
#   atspi_window.sh PROGRAM TEST_DATA_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
xvfb=
trap 'kill $xvfb 2>/dev/null; rm -rf "$tmp"' EXIT
unset DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS

start_display() {
    rm -f "$tmp/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
    xvfb=$!
    for _ in $(seq 200); do
        [ -s "$tmp/display" ] && break
        kill -0 $xvfb 2>/dev/null || { cat "$tmp/xvfb.log"; return 1; }
        sleep 0.05
    done
    [ -s "$tmp/display" ] || { echo "Xvfb did not start"; return 1; }
    export DISPLAY=:$(cat "$tmp/display")
    for _ in $(seq 100); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "cannot reach the display $DISPLAY"
    return 1
}

# A cross build's window runs through the emulator (TOVANMUXER_EMULATOR, tests/emulated.cmake).
args=("$@")
if [ -n "${TOVANMUXER_EMULATOR:-}" ]; then
    printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$TOVANMUXER_EMULATOR" "$1" >"$tmp/program"
    chmod +x "$tmp/program"
    args[0]=$tmp/program
fi

for attempt in 1 2; do
    start_display || exit 1
    dbus-run-session -- /usr/bin/python3 "$here/atspi_window.py" "${args[@]}"
    rc=$?
    [ $rc -eq 3 ] || exit $rc
    kill $xvfb 2>/dev/null
    wait $xvfb 2>/dev/null
    echo "attempt $attempt: the program did not show; again on a new display"
done
exit 1
