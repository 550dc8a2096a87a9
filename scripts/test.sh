#!/usr/bin/env bash
# Sets up and runs every check: the test suite in the ISA-L, portable,
# address/undefined-behaviour sanitizer and thread sanitizer builds, static
# analysis and formatting, and a fuzzing run (SECTORSCAN_FUZZ_SECONDS,
# default 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}" libgtest-dev libbenchmark-dev clang libclang-rt-14-dev groff-base \
    clang-tidy clang-format cppcheck

jobs=2
run_suite() { # name, cmake options...
    local name=$1
    shift
    local build=$root/build/$name
    echo "=== $name: configure, build and test" >&2
    cmake -S "$root" -B "$build" -DSECTORSCAN_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$build" -j "$jobs"
    ctest --test-dir "$build" -j "$jobs" --output-on-failure --no-tests=error
}

run_suite release -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_WITH_ISAL=ON
run_suite portable -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_WITH_ISAL=OFF
# Any sanitizer report aborts the test it happens in, and so fails the suite.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSECTORSCAN_SANITIZE=ON
unset ASAN_OPTIONS UBSAN_OPTIONS
# The workers and the scanning thread share the ring of pieces.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSECTORSCAN_SANITIZE_THREAD=ON
unset TSAN_OPTIONS

bash "$root/scripts/lint.sh"
echo "=== fuzz for ${SECTORSCAN_FUZZ_SECONDS:-60} seconds" >&2
fuzz_log=$root/build/fuzz.log
if ! bash "$root/scripts/fuzz.sh" "${SECTORSCAN_FUZZ_SECONDS:-60}" >"$fuzz_log" 2>&1; then
    tail -n 80 "$fuzz_log" >&2
    echo "=== the fuzzer found a failure; the input is in build/fuzz/" >&2
    exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$fuzz_log" >&2
echo "=== all checks passed" >&2
