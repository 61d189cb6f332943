#!/bin/sh
# Builds crateFerry for 32-bit ARM (armhf) and 64-bit ARM (arm64) devices for size (as
# the package: MinSizeRel) with warnings as errors, and runs each build's unit tests
# under qemu-user.
# Installs Debian's cross compilers and qemu-user first when they are missing.
# Runs as root without standard input. Build folders: build-cross/<triple>.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
targets="arm-linux-gnueabihf aarch64-linux-gnu"
packages="g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user libgtest-dev cmake"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    echo "cross-test: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    # Another apt-get may be running (a parallel setup step): wait for its lock.
    apt-get -o DPkg::Lock::Timeout=600 update </dev/null
    # shellcheck disable=SC2086
    apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends $missing </dev/null
fi

for triple in $targets; do
    build="$root/build-cross/$triple"
    echo "cross-test: $triple"
    cmake -S "$root" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triple.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DCRATEFERRY_TESTS=ON -DCRATEFERRY_WERROR=ON </dev/null
    cmake --build "$build" -j "$jobs" </dev/null
    ctest --test-dir "$build" -L unit --output-on-failure --no-tests=error </dev/null
done
echo "cross-test: both ARM builds pass their unit tests"
