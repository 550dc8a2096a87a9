#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it for SECONDS (default 60)
# from the seed corpus in fuzz/corpus. Findings are written to build/fuzz/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
seconds=${1:-60}

build=$root/build/fuzz
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DSECTORSCAN_BUILD_TESTS=OFF -DSECTORSCAN_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_scan -j 2 >/dev/null

# New inputs go to a working corpus; the checked-in seeds stay as they are.
# Each run writes a mapfile: in memory where /dev/shm is there.
mkdir -p "$build/corpus"
cd "$build"
[ -w /dev/shm ] && export TMPDIR=/dev/shm
./fuzz_scan -max_total_time="$seconds" -max_len=24576 -print_final_stats=1 \
    -artifact_prefix="$build/" corpus "$root/fuzz/corpus"
