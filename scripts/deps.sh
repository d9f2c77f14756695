#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Tovanmuxer need.
# Idempotent: does nothing when they are all present. Needs root (or sudo) only to install.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libavformat-dev libavcodec-dev libavutil-dev
    ffmpeg x264 x265 sox espeak-ng python3 time
    clang libclang-rt-14-dev clang-format clang-tidy
    xvfb xauth x11-utils strace
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    gstreamer1.0-libav python3-gi gir1.2-gst-plugins-base-1.0
    desktop-file-utils xdg-utils shared-mime-info libglib2.0-bin
    dbus at-spi2-core gir1.2-atspi-2.0
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
