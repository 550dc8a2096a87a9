#!/usr/bin/env bash
# Sets up and runs the checks. By default, every one (what CI runs): the test
# suite in the ISA-L, portable, address/undefined-behaviour sanitizer and
# thread sanitizer builds, static analysis and formatting, and a fuzzing run
# (SECTORSCAN_FUZZ_SECONDS, default 60). With --quick, the Release suite
# alone, for everyday work. Each stage ends with a one-line summary; the
# output of a stage is shown in full only when it fails.
# Usage: scripts/test.sh [--quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
quick=false
[ "${1:-}" = "--quick" ] && quick=true
if $quick; then
    need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
else
    need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" libbenchmark-dev clang libclang-rt-14-dev \
        clang-tidy clang-format cppcheck
fi

jobs=2
mkdir -p "$root/build"
# Where FUSE can be used, the tests that read through the fault file system
# must run: they fail rather than skip.
if [ -r /dev/fuse ] && [ -w /dev/fuse ]; then
    export SECTORSCAN_REQUIRE_FUSE=1
fi
started=$(date +%s)
logs=()
# Runs a stage quietly: one summary line, or its whole output on failure.
stage() { # name, command...
    local name=$1
    shift
    local log=$root/build/$name.log
    local start
    start=$(date +%s)
    logs+=("$log")
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        echo "=== $name: FAILED after $(($(date +%s) - start)) s (log: $log)" >&2
        exit 1
    fi
    local summary
    summary=$(grep -E 'tests passed|^Done|lint clean' "$log" | tail -1 || true)
    echo "=== $name: ok in $(($(date +%s) - start)) s${summary:+: $summary}" >&2
}
suite() { # name, cmake options...
    local build=$root/build/$1
    shift
    cmake -S "$root" -B "$build" -DSECTORSCAN_BUILD_TESTS=ON "$@" &&
        cmake --build "$build" -j "$jobs" &&
        ctest --test-dir "$build" -j "$jobs" --output-on-failure --no-tests=error
}

stage release suite release -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_WITH_ISAL=ON
if ! $quick; then
    stage portable suite portable -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_WITH_ISAL=OFF
    # Any sanitizer report aborts the test it happens in, and so fails the suite.
    ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        stage sanitize suite sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSECTORSCAN_SANITIZE=ON
    # The workers and the scanning thread share the ring of claims.
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        stage thread suite thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSECTORSCAN_SANITIZE_THREAD=ON
    stage lint bash "$root/scripts/lint.sh"
    stage fuzz bash "$root/scripts/fuzz.sh" "${SECTORSCAN_FUZZ_SECONDS:-60}"
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$root/build/fuzz.log" >&2 || true
fi
# The closing line that CI reads, after every stage has passed: the tests
# that ran, and apart from them those that were skipped (each says why in
# its stage's log).
tests=$(grep -hE '^[0-9]+% tests passed' "${logs[@]}" | awk '{ n += $NF } END { print n + 0 }')
skipped=$(grep -hcE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "${logs[@]}" | awk '{ n += $1 } END { print n + 0 }')
echo "=== all checks passed in $(($(date +%s) - started)) s" >&2
echo "$((tests - skipped)) passed, 0 failed, $skipped skipped"
