#!/bin/sh
# Prints the size of the program a device gets: the build for size (MinSizeRel, as the
# Debian package and the cross builds), installed with `cmake --install --strip`, for
# x86-64, armhf and arm64, linked dynamically and fully statically
# (-DCRATEFERRY_STATIC=ON), as a Markdown table.
# Needs the cross compilers (scripts/cross-test.sh installs them). Runs without
# root; build folders: build-sizes/<target>-<linking>.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

size_of() {
    target=$1 static=$2
    build="$root/build-sizes/$target-$static"
    toolchain=
    [ "$target" = x86-64 ] || toolchain="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/$target.cmake"
    # shellcheck disable=SC2086
    cmake -S "$root" -B "$build" $toolchain -DCMAKE_BUILD_TYPE=MinSizeRel -DCRATEFERRY_TESTS=OFF \
        -DCRATEFERRY_STATIC="$static" </dev/null >/dev/null
    cmake --build "$build" -j "$jobs" </dev/null >/dev/null
    rm -rf "$build/installed"
    DESTDIR="$build/installed" cmake --install "$build" --strip \
        </dev/null >/dev/null
    stat -c %s "$build/installed/opt/crateFerry/bin/crateFerry"
}

echo "| target | dynamic | static |"
echo "|---|---:|---:|"
for target in x86-64 arm-linux-gnueabihf aarch64-linux-gnu; do
    echo "| $target | $(size_of "$target" OFF) B | $(size_of "$target" ON) B |"
done
