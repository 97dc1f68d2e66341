#!/usr/bin/env bash
# Cross-builds the kernel tests for another architecture and runs them under
# user-mode emulation, so that the vector paths of a CPU this machine lacks
# are held against the reference too.
#
# Usage: tools/cross-check.sh aarch64
#   aarch64  g++-aarch64-linux-gnu, qemu-aarch64-static, GoogleTest built from
#            Debian's googletest sources (all installed here when missing)
# Build folder: build/cross-<arch>. Takes a few minutes (emulated tests).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
arch="${1:-}"
case "$arch" in
    aarch64) packages=(g++-aarch64-linux-gnu qemu-user-static googletest) ;;
    *) sed -n '2,9p' "$0"; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "cross-check: install ${missing[*]}" >&2
        exit 1
    fi
fi

build="$root/build/cross-$arch"
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch-linux-gnu.cmake" \
    -DTAVRO_BUILD_PYTHON=OFF -DTAVRO_BUILD_KERNEL_TESTS=ON -DTAVRO_WERROR=ON \
    -DTAVRO_GTEST_SOURCE_DIR=/usr/src/googletest >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
