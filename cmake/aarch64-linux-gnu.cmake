# Cross build for 64-bit ARM Linux (Raspberry Pi OS 64-bit, Debian arm64) on a Debian amd64
# machine with multiarch: the arm64 libraries live beside the host's in /usr/lib/aarch64-linux-gnu.
# scripts/deps-arm64.sh installs the compiler, the arm64 packages and the emulator.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps the target's headers and libraries under the root itself (the architecture's
# own directories) and the cross toolchain's under its prefix: search both, never the host's
# programs' directories for libraries, and take programs (moc, uic, rcc, pkg-config) from the host.
set(CMAKE_FIND_ROOT_PATH / /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Qt's build tools run on the host.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")

# Test programs run through the static user-mode emulator; the dynamic one aborts when a forked
# child starts a thread. No -L: multiarch installs the target's loader at its own path, and the
# cross prefix's loader paired with multiarch's C library hangs at the first thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
