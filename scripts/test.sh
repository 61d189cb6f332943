#!/usr/bin/env bash
# The project's test command: installs the Debian packages that are missing, builds
# with warnings as errors, builds again with AddressSanitizer and UBSan, builds and
# checks the Debian package, and runs the unit tests in both trees, the fuzz targets
# for a few seconds each, and the end-to-end suite in the main one, whose pytest
# summary it shows.
# Runs as root (apt-get, and the e2e sandbox uses unshare and mounts); needs no stdin.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh

jobs=$(nproc)

# Main tree: the binary the e2e suite runs, warnings as errors. CRATEFERRY_TESTS=ON:
# without GoogleTest the configure fails instead of leaving the tests out.
cmake -S . -B build -DCRATEFERRY_TESTS=ON -DCRATEFERRY_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
cmake --build build -j"$jobs"

# Static checks of the program's sources (.clang-tidy holds the set; any finding fails).
clang-tidy -p build --quiet src/*/*.cpp 2> /dev/null

# Sanitizer tree: unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B build-asan -DCRATEFERRY_TESTS=ON -DCRATEFERRY_SANITIZE=ON -DCRATEFERRY_WERROR=ON
cmake --build build-asan -j"$jobs"

(cd build-asan && ctest --output-on-failure -L unit)

# Fuzz targets: each quoting layer's property under libFuzzer, a few seconds per target.
bash scripts/fuzz.sh

# Device builds: 32- and 64-bit ARM, unit tests under qemu-user.
bash scripts/cross-test.sh
# The armhf program end to end under qemu-user: sending, download, removing.
bash scripts/e2e-emulated.sh

# The Debian package, installed into a private root and set up there as the README
# says; the example units verified against it. The machine's /opt and /var stay
# untouched.
status=0
bash scripts/package-check.sh </dev/null || status=$?
if ((status == 77)); then
  echo "test: package check skipped (see above why)"
elif ((status != 0)); then
  exit "$status"
fi

# `cmake --install` as the user nobody: into a fresh prefix and, for the device
# component, a fresh DESTDIR; any file written outside them fails it.
bash scripts/install-check.sh </dev/null

(cd build && ctest --output-on-failure)

# ctest shows no output of a test that passed: the end-to-end suite's pytest summary
# (counts and the reasons of skips) comes from its log.
echo "End-to-end suite (pytest):"
awk '/^[0-9]+\/[0-9]+ Test: e2e$/ { found = 1 } found && /^<end of output>$/ { exit } found' \
    build/Testing/Temporary/LastTest.log |
  grep -E '^SKIPPED |^[0-9]+ (passed|failed)' | sed 's/^/  /' || echo "  (no summary found)"
