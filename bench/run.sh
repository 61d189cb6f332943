#!/usr/bin/env bash
# The benchmark: installs the Debian packages it needs, builds the program in
# build-bench as the package builds it (MinSizeRel), and runs bench/bench.py, which lays out the end-to-end sandbox, starts
# the FTP and SFTP servers on 127.0.0.1 and prints a table of medians.
#
#   bash bench/run.sh            full run, table to bench/results/DATE.md
#   bash bench/run.sh --quick    fewer files and runs, table to bench/results/DATE-quick.md
#   bash bench/run.sh --smoke    a few files; writes no results file
# Further arguments go to bench.py (e.g. --cases 12). Runs as root; needs no stdin.
# Run times and how to read the table: bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=full
args=()
for arg in "$@"; do
  case $arg in
    --quick) mode=quick; args+=("$arg") ;;
    --smoke) mode=smoke; args+=("$arg") ;;
    *) args+=("$arg") ;;
  esac
done

if [[ $(id -u) != 0 ]]; then
  echo "bench/run.sh: run as root (apt-get, and the sandbox uses unshare and mounts)" >&2
  exit 1
fi

bash scripts/install-packages.sh bench

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=MinSizeRel -DCRATEFERRY_TESTS=OFF
cmake --build build-bench -j"$(nproc)"

results=()
case $mode in
  full) results=(--results "bench/results/$(date +%F).md") ;;
  quick) results=(--results "bench/results/$(date +%F)-quick.md") ;;
esac
exec /usr/bin/python3 bench/bench.py --binary build-bench/crateFerry "${results[@]}" "${args[@]}"
