#!/bin/sh
# Builds the Debian package of crateFerry (crateferry_<version>_<arch>.deb), for size.
#   scripts/package.sh [BUILD_DIR [CMAKE_ARGS...]]
# BUILD_DIR defaults to build-package. Extra arguments go to cmake, e.g. a cross
# build that links statically:
#   scripts/package.sh build-package-arm64 \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake -DCRATEFERRY_STATIC=ON
# Prints the path of the package on its last line.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-package}
[ $# -gt 0 ] && shift
case $build in /*) ;; *) build="$root/$build" ;; esac

# Built for size (devices have little room), in the folders Debian wants: the program
# under /opt/crateFerry (its paths are fixed), the man page, the copyright and the
# examples under /usr/share, the systemd units where systemd finds a package's units.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel -DCRATEFERRY_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/opt/crateFerry -DCMAKE_INSTALL_MANDIR=/usr/share/man \
    -DCMAKE_INSTALL_DOCDIR=/usr/share/doc/crateferry -DCRATEFERRY_UNITDIR=/lib/systemd/system \
    "$@" </dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" </dev/null
# Strip the program in the package: devices have little room.
report=$(cd "$build" && cpack -G DEB -D CPACK_STRIP_FILES=ON </dev/null)
printf '%s\n' "$report" >&2
deb=$(printf '%s\n' "$report" | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')

# CPack counts each link as another copy of its target and each folder as 4 KiB,
# which makes Installed-Size about three times too large. Count as dpkg-gencontrol
# does: each file's size in KiB, rounded up, and 1 for every other entry.
unpacked="$build/deb-contents"
rm -rf "$unpacked"
dpkg-deb -R "$deb" "$unpacked"
size=$(cd "$unpacked" && find . -path ./DEBIAN -prune -o ! -path . -printf '%y %s\n' |
    awk '{ kib += ($1 == "f") ? int(($2 + 1023) / 1024) : 1 } END { print kib }')
sed -i "s/^Installed-Size: .*/Installed-Size: $size/" "$unpacked/DEBIAN/control"
dpkg-deb --root-owner-group -b "$unpacked" "$deb" >/dev/null
rm -rf "$unpacked"
echo "$deb"
