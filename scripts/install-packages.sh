#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the package check, the demo and
# the benchmark need, when missing.
# Runs as root with no standard input; a machine that has them all skips apt-get.
set -euo pipefail

packages=(
  cmake g++ libgtest-dev libgmock-dev            # build and unit tests
  python3 python3-pytest                         # e2e runner: Debian's /usr/bin/python3
  python3-pyftpdlib python3-asyncssh             # the FTP and SFTP test servers
  curl openssh-client sshpass psmisc dash sed    # the tools the program runs
  faketime util-linux procps findutils coreutils # sandbox and test helpers
  clang-tidy                                     # static checks of src/
  dpkg-dev systemd man-db                        # the package, its check, the units' verify
  clang libclang-rt-14-dev                       # fuzz targets: clang++ and libFuzzer
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

