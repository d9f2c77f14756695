#!/usr/bin/env bash
# Installs what the arm64 cross build and its emulated tests need on a Debian 12 amd64 machine:
# the cross compiler, Qt and FFmpeg's libraries for arm64 (Debian multiarch) and the static user-mode
# emulator. Idempotent: does nothing when they are all present.
set -euo pipefail

packages=(
    g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
    qt6-base-dev:arm64 qt6-qpa-plugins:arm64
    libavformat-dev:arm64 libavcodec-dev:arm64 libavutil-dev:arm64
    qemu-user-static
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
# The machine's sources name no architectures, so the same mirrors serve arm64 once it is added.
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
