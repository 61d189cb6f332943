#!/usr/bin/env bash
# The project's test command: installs the Debian packages that are missing, checks the
# documents against the code, builds with warnings as errors, builds again with
# AddressSanitizer and UBSan, runs the fuzz targets for a few seconds each, builds and
# tests the ARM builds, builds and checks the Debian package and the install, and runs
# the unit tests and the end-to-end suite.
# Runs as root (apt-get, and the e2e sandbox uses unshare and mounts); needs no stdin.
# About 15 to 20 minutes on 2 cores (1,082 s at 4fb0e2e, with the builds of other work beside it).
#
# Prints one line per part as it ends and, last, the cases of all parts:
# "test: N passed, N failed, N skipped". Every part's own output goes to build/test.log;
# a part that fails shows its last lines and ends the run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."

log=build/test.log
mkdir -p build
: > "$log"
echo "test: the output of every part goes to $log"

jobs=$(nproc)
total_passed=0 total_failed=0 total_skipped=0

# The cases a part's output reports, as "PASSED FAILED SKIPPED": the lines
# "[WORD: ]N passed, N failed[, N skipped]" it prints itself when it has any, else
# pytest's closing lines, else ctest's summaries; none of them: the part is one case.
count_cases() {
    awk '
        function add(kind, n) { counts[kind] += n }
        /^([A-Za-z0-9_-]+: )?[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$/ {
            sub(/^[A-Za-z0-9_-]+: /, "")
            split($0, f, /[ ,]+/)
            own_p += f[1]; own_f += f[3]; own_s += f[5]; own = 1; next
        }
        /^([0-9]+: )?=* ?[0-9]+ (passed|failed|skipped|error|errors)(, [0-9]+ [a-z]+)* in [0-9.]+s/ {
            line = $0; sub(/^[0-9]+: /, "", line); gsub(/=/, "", line)
            n = split(line, w, /[ ,]+/)
            for (i = 1; i < n; i++) {
                if (w[i + 1] == "passed" || w[i + 1] == "xfailed") py_p += w[i]
                else if (w[i + 1] == "failed" || w[i + 1] ~ /^error/ || w[i + 1] == "xpassed") py_f += w[i]
                else if (w[i + 1] == "skipped") py_s += w[i]
            }
            py = 1; next
        }
        /tests passed, [0-9]+ tests? failed out of [0-9]+/ {
            for (i = 1; i <= NF; i++) {
                if ($i == "of") ct_total += $(i + 1)
                if ($i == "failed" && $(i - 1) ~ /^tests?$/) ct_f += $(i - 2)
            }
            ct = 1; next
        }
        /^[ \t]*[0-9]+ - .* \(Skipped\)$/ { ct_s++ }
        END {
            if (own) print own_p + 0, own_f + 0, own_s + 0
            else if (py) print py_p + 0, py_f + 0, py_s + 0
            else if (ct) print ct_total - ct_f - ct_s, ct_f + 0, ct_s + 0
            else print "none"
        }'
}

# Runs one part: `part NAME COMMAND [ARG...]`, output to the log, stdin from /dev/null.
# Exit status 77 marks a part skipped. A failed part ends the run.
part() {
    local name=$1
    shift
    local start_byte start_time status=0 cases passed failed skipped
    printf '\n===== test: %s: %s\n' "$name" "$*" >> "$log"
    start_byte=$(($(stat -c %s "$log") + 1))
    start_time=$SECONDS
    "$@" >> "$log" 2>&1 < /dev/null || status=$?
    cases=$(tail -c "+$start_byte" "$log" | count_cases)
    if [ "$cases" = none ]; then
        case $status in
            0) cases="1 0 0" ;;
            77) cases="0 0 1" ;;
            *) cases="0 1 0" ;;
        esac
    elif ((status != 0 && status != 77)) && [ "${cases#* }" = "0 0" ]; then
        cases="${cases%% *} 1 0"  # failed before it could report a failed case
    fi
    read -r passed failed skipped <<< "$cases"
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    total_skipped=$((total_skipped + skipped))
    local verdict=passed
    ((status == 77)) && verdict="skipped ($(tail -n 1 "$log"))"
    ((status != 0 && status != 77)) && verdict="FAILED (exit status $status)"
    echo "test: $name: $verdict: $passed passed, $failed failed, $skipped skipped, $((SECONDS - start_time)) s"
    if ((status != 0 && status != 77)); then
        echo "test: the last lines of $name (all of it in $log):"
        tail -c "+$start_byte" "$log" | tail -n 60 | sed 's/^/  /'
        echo "test: $total_passed passed, $total_failed failed, $total_skipped skipped"
        exit "$status"
    fi
}

# Configures and builds one tree: `build_tree FOLDER CMAKE_OPTION...`. (A part's
# command runs where set -e does not hold: each step's failure is passed on by &&.)
build_tree() {
    local folder=$1
    shift
    cmake -S . -B "$folder" "$@" && cmake --build "$folder" -j"$jobs"
}

# The parts, in order. A new part is one more line: `part NAME COMMAND...`.
part packages bash scripts/install-packages.sh
part documents /usr/bin/python3 scripts/doc-check.py
# Main tree: the binary the e2e suite runs, warnings as errors. CRATEFERRY_TESTS=ON:
# without GoogleTest the configure fails instead of leaving the tests out.
part build build_tree build -DCRATEFERRY_TESTS=ON -DCRATEFERRY_WERROR=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
# Static checks of the program's sources (.clang-tidy holds the set; any finding fails).
part clang-tidy clang-tidy -p build --quiet src/*/*.cpp
# Sanitizer tree: unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
part build-asan build_tree build-asan -DCRATEFERRY_TESTS=ON -DCRATEFERRY_SANITIZE=ON \
    -DCRATEFERRY_WERROR=ON
part unit-asan ctest --test-dir build-asan --output-on-failure -L unit
# Fuzz targets: each quoting layer's property under libFuzzer, a few seconds per target.
part fuzz bash scripts/fuzz.sh
# Device builds: 32- and 64-bit ARM, unit tests under qemu-user.
part cross bash scripts/cross-test.sh
# The armhf program end to end under qemu-user: sending, download, removing.
part e2e-armhf bash scripts/e2e-emulated.sh
# The Debian package, installed into a private root and set up there as the README
# says; the example units verified against it (77: skipped, the log says why). The
# machine's /opt and /var stay untouched.
part package bash scripts/package-check.sh
# `cmake --install` as the user nobody: into a fresh prefix and, for the device
# component, a fresh DESTDIR; any file written outside them fails it.
part install bash scripts/install-check.sh
# Main tree: unit tests, the end-to-end suite (its cases counted from pytest's closing
# line, which -V shows) and the benchmark's smoke run.
part unit ctest --test-dir build --output-on-failure -L unit
part e2e ctest --test-dir build --output-on-failure -V -R '^e2e$'
part bench-smoke ctest --test-dir build --output-on-failure -L bench

echo "test: $total_passed passed, $total_failed failed, $total_skipped skipped"
