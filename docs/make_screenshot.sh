#!/usr/bin/env bash
# Takes docs/screenshot.png: the window on a virtual display, under a window manager so that its
# title bar shows the title and the icon, started with three test streams listed. Needs xvfb, openbox, x11-utils and imagemagick:
#   apt-get install xvfb openbox x11-utils imagemagick
#   docs/make_screenshot.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
app=$(cd "${1:-$here/build}" && pwd)/app/tovanmuxer  # the script works in tests/data
xvfb-run -a -s "-screen 0 1024x768x24" sh -c "
    openbox & sleep 1
    cd '$here/tests/data'
    '$app' baseline_320x240.h264 nobframes_320x240.hevc open_gop_320x240.h264 & sleep 2
    xprop -name Tovanmuxer WM_NAME | sed 's/^/  /'
    xprop -name Tovanmuxer _NET_WM_ICON | head -c 60; echo
    xwininfo -name Tovanmuxer | grep -E 'Width|Height' | sed 's/^ */  /'
    id=\$(xwininfo -name Tovanmuxer | awk '/Window id/ { print \$4 }')
    import -frame -window \$id '$here/docs/screenshot.png'
    kill %2 %1" 2>/dev/null
echo "wrote docs/screenshot.png"
