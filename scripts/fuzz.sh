#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UBSan) in build-fuzz
# and runs each one for SECONDS (default 8) on a temporary copy of its seed corpus in
# tests/fuzz/corpus/<target>, so a run never changes the repository. Every target runs
# even when one fails; any failure fails the script. An input that breaks a property is
# kept as build-fuzz/findings/<target>-crash-<hash>.
# Usage: bash scripts/fuzz.sh [SECONDS]     (docs/fuzzing.md tells more)
# Runs without standard input; needs clang and libclang-rt-14-dev (scripts/install-packages.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-8}
jobs=$(nproc)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCRATEFERRY_FUZZ=ON \
    -DCRATEFERRY_TESTS=OFF -DCRATEFERRY_WERROR=ON > /dev/null
cmake --build build-fuzz -j"$jobs" > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build-fuzz/findings

failed=() targets=()
for seeds in tests/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    targets+=("$target")
    cp -r "$seeds" "$work/$target"
    mkdir "$work/$target.tmp"
    start=$SECONDS
    # TMPDIR: a target's own temporary folder stays inside $work, even after a crash.
    if TMPDIR="$work/$target.tmp" "build-fuzz/tests/fuzz/fuzz_$target" \
        -max_total_time="$seconds" -timeout=30 -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/findings/$target-" "$work/$target" \
        > "$work/$target.log" 2>&1 < /dev/null; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
        echo "fuzz: $target passed, $((SECONDS - start)) s, ${runs:-?} inputs"
    else
        echo "fuzz: $target FAILED after $((SECONDS - start)) s:"
        grep -v '^#' "$work/$target.log" | tail -n 40
        failed+=("$target")
    fi
done

echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if ((${#failed[@]} > 0)); then
    echo "fuzz: failed: ${failed[*]} (inputs in build-fuzz/findings/)"
    exit 1
fi
