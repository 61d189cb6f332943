#!/usr/bin/env bash
# Installs the Debian packages that one purpose needs, when missing:
#   scripts/install-packages.sh [demo|bench|test]...
# demo: what scripts/demo.sh builds and runs (the program, the FTP test server);
# bench: what bench/run.sh runs beside it (the SFTP server, the peers, the timers);
# test (the default): everything the test command needs, the two above included
# (build, unit and e2e tests, static checks, fuzzing, the package and install checks,
# the benchmark's smoke run).
# Runs as root with no standard input; a machine that has them all skips apt-get.
set -euo pipefail

demo=(
  cmake g++                                      # the build
  python3 python3-pyftpdlib                      # Debian's /usr/bin/python3, the FTP test server
  curl sed dash util-linux coreutils             # the tools the program runs; the sandbox
)
bench=(
  "${demo[@]}"
  python3-asyncssh openssh-client sshpass psmisc # the SFTP server and the program's SFTP tools
  faketime procps findutils                      # sandbox and test helpers
  hyperfine lftp rclone strace time binutils     # the timer, the peers; strace: floors, install check
)
test=(
  "${bench[@]}"
  libgtest-dev libgmock-dev python3-pytest       # unit tests, the e2e runner
  clang-tidy                                     # static checks of src/
  dpkg-dev systemd man-db                        # the package, its check, the units' verify
  clang libclang-rt-14-dev                       # fuzz targets: clang++ and libFuzzer
)

packages=()
for purpose in "${@:-test}"; do
  case $purpose in
    demo) packages+=("${demo[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    test) packages+=("${test[@]}") ;;
    *) echo "install-packages: unknown purpose $purpose (demo, bench or test)" >&2; exit 2 ;;
  esac
done

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
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
