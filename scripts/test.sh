#!/usr/bin/env bash
# Sets up and runs every test: the suite in each build configuration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}" libgtest-dev

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
echo "=== all checks passed" >&2
