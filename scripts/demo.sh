#!/usr/bin/env bash
# The main job once, end to end: builds crateFerry, starts a throwaway FTP server on
# 127.0.0.1, lays out the device's folders in a private sandbox, puts a few files into
# a scan folder, runs `upload`, and shows what arrived and what the program logged.
# Run as root; installs the Debian packages it needs when they are missing (only those:
# the build's and the FTP server's, see scripts/install-packages.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh demo > /dev/null

cmake -S . -B build -DCRATEFERRY_WERROR=ON > /dev/null
cmake --build build -j"$(nproc)" > /dev/null
exec /usr/bin/python3 tests/e2e/demo.py build/crateFerry
