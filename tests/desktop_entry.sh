#!/usr/bin/env bash
# The desktop entry and the MIME package as installed: `cmake --install` into a temporary
# prefix, which builds the prefix's MIME database and desktop cache; the entry validated, GIO
# asked for the default application of both types, every test stream typed by
# `xdg-mime query filetype` as its codec's type, by its extension (.h26x by its first bytes) and,
# copied under a name without one, by its first bytes; the program's --help and --version
# answered without a display.
#   desktop_entry.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
entry=$tmp/prefix/share/applications/tovanmuxer.desktop
desktop-file-validate "$entry"
grep -qx 'Exec=tovanmuxer %F' "$entry" || { echo "no Exec=tovanmuxer %F"; exit 1; }
grep -qx 'MimeType=video/H264;video/H265;' "$entry" || { echo "the entry names no types"; exit 1; }
for field in Comment Keywords; do
    line=$(grep "^$field=" "$entry")
    for codec in 264 265; do
        grep -q "$codec" <<<"$line" || { echo "$field names no H.$codec: $line"; exit 1; }
    done
done

# The generic desktop asks `file`, which knows nothing of the shared database; GNOME's asks gio.
# GIO lists only programs it finds on the PATH.
export XDG_CURRENT_DESKTOP=GNOME XDG_DATA_HOME="$tmp/home" \
    XDG_DATA_DIRS="$tmp/prefix/share:/usr/share" PATH="$tmp/prefix/bin:$PATH"
failures=0
for type in video/H264 video/H265; do
    got=$(gio mime "$type" | sed -n 1p)
    if [ "$got" != "Default application for “$type”: tovanmuxer.desktop" ]; then
        echo "FAIL: gio mime $type: $got"
        failures=$((failures + 1))
    fi
done
# A cross build's programs start through the emulator the tests are given.
emulator=${TOVANMUXER_EMULATOR:-}
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM $emulator "$(command -v tovanmuxer)" --version)
[ "$version" = "$($emulator "$(command -v tovanmuxer-cli)" --version | sed 's/-cli//')" ] || {
    echo "FAIL: tovanmuxer --version: $version"
    failures=$((failures + 1))
}
help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM $emulator "$(command -v tovanmuxer)" --help)
grep -q '^Usage: tovanmuxer ' <<<"$help" || { echo "FAIL: tovanmuxer --help"; failures=$((failures + 1)); }
check() {  # FILE EXPECTED
    local got
    got=$(xdg-mime query filetype "$1")
    if [ "$got" != "$2" ]; then
        echo "FAIL: $1: $got, not $2"
        failures=$((failures + 1))
    fi
}
n=0
while IFS=$'\t' read -r file codec _; do
    [ "$file" = file ] && continue
    case $codec in h264) type=video/H264 ;; h265) type=video/H265 ;; *) continue ;; esac
    check "$src/tests/data/$file" "$type"
    cp "$src/tests/data/$file" "$tmp/stream$n"
    check "$tmp/stream$n" "$type"
    n=$((n + 1))
done <"$src/tests/data/streams.tsv"
# Neither type for other files, whatever their first bytes.
check "$src/README.md" text/markdown
printf '\0\0\1\xba\x44' >"$tmp/program.mpg"
[ "$(xdg-mime query filetype "$tmp/program.mpg")" != video/H264 ] || failures=$((failures + 1))
echo "$n streams typed, $failures failures"
[ "$failures" -eq 0 ]
