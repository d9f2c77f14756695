#!/usr/bin/env bash
# Builds the Debian packages, tovanmuxer (the window) and tovanmuxer-cli, for amd64 and for arm64
# (cross-built, cmake/aarch64-linux-gnu.cmake), into build-packages/:
#   scripts/make-packages.sh            both architectures
#   scripts/make-packages.sh arm64      one of them
# Installs what is missing first, as scripts/run-tests.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 arm64)
jobs=$(nproc)

scripts/deps.sh
for arch in "${archs[@]}"; do
    case $arch in
        amd64) toolchain=() ;;
        arm64) scripts/deps-arm64.sh; toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake) ;;
        *) echo "make-packages.sh: no build for $arch (amd64 or arm64)" >&2; exit 2 ;;
    esac
    dir=build-packages/$arch
    cmake -S . -B "$dir" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DTOVANMUXER_BUILD_TESTS=OFF -DTOVANMUXER_BUILD_BENCH=OFF
    cmake --build "$dir" -j "$jobs"
    cpack --config "$dir/CPackConfig.cmake" -B build-packages
done
rm -rf build-packages/_CPack_Packages
ls -l build-packages/*.deb
