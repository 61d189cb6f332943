#!/usr/bin/env bash
# The project's test command: installs the Debian packages that are missing, builds
# with warnings as errors, builds again with AddressSanitizer and UBSan, and runs
# the unit tests in both trees and the end-to-end suite in the main one.
# Runs as root (apt-get, and the e2e sandbox uses unshare and mounts); needs no stdin.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ libgtest-dev libgmock-dev            # build and unit tests
  python3 python3-pytest                         # e2e runner: Debian's /usr/bin/python3
  python3-pyftpdlib python3-asyncssh             # the FTP and SFTP test servers
  curl openssh-client sshpass psmisc dash sed    # the tools the program runs
  faketime util-linux procps findutils           # sandbox and test helpers
  hyperfine lftp rclone strace time binutils     # the benchmark's smoke run
)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

jobs=$(nproc)

# Main tree: the binary the e2e suite runs, warnings as errors.
cmake -S . -B build -DCRATEFERRY_WERROR=ON
cmake --build build -j"$jobs"

# Sanitizer tree: unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B build-asan -DCRATEFERRY_SANITIZE=ON -DCRATEFERRY_WERROR=ON
cmake --build build-asan -j"$jobs"

(cd build-asan && ctest --output-on-failure -L unit)

# Device builds: 32- and 64-bit ARM, unit tests under qemu-user.
bash scripts/cross-test.sh

(cd build && ctest --output-on-failure)
