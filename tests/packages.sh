#!/usr/bin/env bash
# The Debian packages as a user gets them: made by cpack from the build, lintian without errors,
# the command-line package free of the widgets, installed by dpkg into a throw-away root (the
# maintainer scripts run with DPKG_ROOT), the installed CLI converting a stream and the window
# starting, its MIME types and desktop entry in that root's databases; then removed, leaving
# nothing of either.
#   packages.sh BUILD_DIR SOURCE_DIR [EMULATOR]   (EMULATOR runs a cross build's programs)
set -euo pipefail
build=$1
src=$(realpath "$2")
emulator=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack"; }
cli_deb=$(echo "$tmp"/out/tovanmuxer-cli_*.deb)
win_deb=$(echo "$tmp"/out/tovanmuxer_*.deb)
[ -f "$cli_deb" ] && [ -f "$win_deb" ] || fail "cpack made $(ls "$tmp/out")"
arch=$(dpkg-deb -f "$cli_deb" Architecture)
echo "packages: $(basename "$cli_deb") $(basename "$win_deb")"

lintian --fail-on error "$cli_deb" "$win_deb" ||
    fail "lintian found errors"

cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
win_depends=$(dpkg-deb -f "$win_deb" Depends)
grep -q 'libqt6core6' <<<"$cli_depends" || fail "the CLI does not depend on QtCore: $cli_depends"
! grep -qE 'libqt6(gui|widgets)' <<<"$cli_depends" || fail "the CLI depends on $cli_depends"
grep -q 'libav' <<<"$cli_depends$win_depends" && fail "a package depends on FFmpeg"
for p in libqt6widgets6 qt6-qpa-plugins; do
    grep -q "$p" <<<"$win_depends" || fail "the window does not depend on $p: $win_depends"
done

# The man page says every option that --help does.
run() { if [ -n "$emulator" ]; then "$emulator" "$@"; else "$@"; fi; }
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The shared MIME database's own package, as every desktop system has it.
mkdir -p "$root/usr/share/mime/packages"
cp /usr/share/mime/packages/freedesktop.org.xml "$root/usr/share/mime/packages/"
dpkg_root() {
    dpkg --root="$root" --force-depends --force-script-chrootless --force-architecture \
         --force-not-root "$@" >>"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg $*"; }
}
dpkg_root -i "$cli_deb" "$win_deb"
cli=$root/usr/bin/tovanmuxer-cli
man=$root/usr/share/man/man1/tovanmuxer-cli.1.gz
for f in "$cli" "$root/usr/bin/tovanmuxer" "$man" "$root/usr/share/man/man1/tovanmuxer.1.gz" \
         "$root/usr/share/applications/tovanmuxer.desktop" \
         "$root/usr/share/mime/packages/tovanmuxer.xml" \
         "$root/usr/share/icons/hicolor/128x128/apps/tovanmuxer.png"; do
    [ -f "$f" ] || fail "not installed: ${f#"$root"}"
done
options=$(run "$cli" --help | grep -oE -- '--[a-z]+' | sort -u)
[ -n "$options" ] || fail "--help names no options"
# Read once: grep -q leaving a pipe early would fail it under pipefail.
page=$(zcat "$man" | sed 's/\\-/-/g')
for o in $options; do
    grep -qF -- "$o" <<<"$page" || fail "the man page lacks $o"
done

# The installed CLI converts a stream; the window starts and stays up until it is stopped.
(cd "$tmp" && run "$cli" "$src/tests/data/baseline_320x240.h264" -o out.mp4) >"$tmp/cli.out" ||
    fail "the installed CLI: $(cat "$tmp/cli.out")"
grep -q '^30 pictures' "$tmp/cli.out" || fail "the installed CLI said $(cat "$tmp/cli.out")"
[ -s "$tmp/out.mp4" ] || fail "the installed CLI wrote no file"
status=0
QT_QPA_PLATFORM=offscreen timeout 10 "${emulator:-env}" "$root/usr/bin/tovanmuxer" \
    "$src/tests/data/baseline_320x240.h264" >"$tmp/window.log" 2>&1 || status=$?
[ $status -eq 124 ] || { cat "$tmp/window.log"; fail "the window ended with status $status"; }

# postinst: the shared MIME database has the stream types, the desktop's cache the window.
[ -f "$root/usr/share/mime/video/h264.xml" ] && [ -f "$root/usr/share/mime/video/h265.xml" ] ||
    fail "postinst did not update the MIME database"
grep -q '^video/H264=.*tovanmuxer.desktop' "$root/usr/share/applications/mimeinfo.cache" ||
    fail "postinst did not update the desktop database"

dpkg_root -r tovanmuxer tovanmuxer-cli
left=$(find "$root/usr" -name '*tovanmuxer*' -o -iname 'h26[45].xml')
[ -z "$left" ] || fail "left after removal: $left"
! grep -q tovanmuxer "$root/usr/share/applications/mimeinfo.cache" 2>/dev/null ||
    fail "the desktop database still names the window"
echo "$arch packages install, work and remove cleanly"
