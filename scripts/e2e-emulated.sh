#!/bin/sh
# Runs the end-to-end tables of sending (curl per file, the curl batch, SFTP), of the
# download and of removing, with their rows of sizes over 4 GiB and dates after 2038,
# against the armhf build of scripts/cross-test.sh (build-cross/arm-linux-gnueabihf)
# under qemu-user, as the harness runs it: `qemu-arm -L /usr/arm-linux-gnueabihf -0
# upload LINK`. The tools the program starts run natively. Tests that need faketime to
# speed the program's own sleeps are skipped there; each is named on its own line.
# Prints how many cases ran and how long it took; on a failure, pytest's whole report.
# Runs as root (the sandbox uses unshare and mounts) without standard input, after
# scripts/cross-test.sh.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
triple=arm-linux-gnueabihf
binary="$root/build-cross/$triple/crateFerry"
tables="test_whole_files.py test_download.py test_remove.py"

if [ ! -x "$binary" ]; then
    echo "e2e-emulated: no $binary: run scripts/cross-test.sh first" >&2
    exit 1
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT

start=$(date +%s)
status=0
# shellcheck disable=SC2086
(cd "$root/tests/e2e" && CRATEFERRY_BIN="$binary" CRATEFERRY_EMULATOR="qemu-arm -L /usr/$triple" \
    /usr/bin/python3 -m pytest -q -rs -p no:cacheprovider $tables) </dev/null >"$report" 2>&1 ||
    status=$?
seconds=$(($(date +%s) - start))

if [ "$status" -ne 0 ]; then
    cat "$report"
    echo "e2e-emulated: FAILED under qemu-arm ($triple), $seconds s"
    exit "$status"
fi
summary=$(tail -n 1 "$report")
passed=$(echo "$summary" | sed -n 's/.*\b\([0-9][0-9]*\) passed.*/\1/p')
skipped=$(echo "$summary" | sed -n 's/.*\b\([0-9][0-9]*\) skipped.*/\1/p')
echo "e2e-emulated: under qemu-arm ($triple) in $seconds s"
echo "e2e-emulated: ${passed:-0} passed, 0 failed, ${skipped:-0} skipped"
sed -n 's/^SKIPPED \[[0-9]*\] [^ ]* /  skipped: /p' "$report"
