#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60): fuzz_scan from the seed corpus in fuzz/corpus, and fuzz_files from
# small images that genisoimage and xorriso make here. Findings are written
# to build/fuzz/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev genisoimage xorriso
seconds=${1:-60}

build=$root/build/fuzz
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DSECTORSCAN_BUILD_TESTS=OFF -DSECTORSCAN_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_scan fuzz_files -j 2 >/dev/null

# New inputs go to working corpora; the checked-in seeds stay as they are.
# Each scan writes a mapfile: in memory where /dev/shm is there.
mkdir -p "$build/corpus" "$build/corpus_files" "$build/seeds_files"
cd "$build"
[ -w /dev/shm ] && export TMPDIR=/dev/shm
./fuzz_scan -max_total_time="$seconds" -max_len=24576 -print_final_stats=1 \
    -artifact_prefix="$build/scan-" corpus "$root/fuzz/corpus"

# libudfread asks for up to a few GiB that it never touches when a volume
# says so (a malloc that fails is handled): -malloc_limit_mb lets it, while
# -rss_limit_mb bounds what is used (the inputs in memory and the address
# sanitizer's quarantine take most of it).
# Seeds for the file system reader: a small tree with long, odd and linked
# names, as ISO 9660 with Rock Ridge and Joliet, plain, a UDF bridge, and
# xorriso's level 3.
seeds=$build/seeds_files
if [ ! -f "$seeds/udf.iso" ]; then
    tree=$(mktemp -d)
    mkdir -p "$tree/DATA/sub/deeper"
    printf 'hello' >"$tree/a.txt"
    head -c 7000 /dev/zero | tr '\0' 'x' >"$tree/DATA/big.bin"
    printf 'x' >"$tree/DATA/new
line"
    : >"$tree/DATA/empty"
    ln "$tree/a.txt" "$tree/DATA/alias.txt"
    genisoimage -quiet -no-pad -R -J -o "$seeds/rr-joliet.iso" "$tree"
    genisoimage -quiet -no-pad -o "$seeds/plain.iso" "$tree"
    genisoimage -quiet -no-pad -R -J -udf -o "$seeds/udf.iso" "$tree"
    xorriso -as mkisofs -quiet -iso-level 3 -R -J -o "$seeds/xorriso.iso" "$tree" 2>/dev/null
    rm -rf "$tree"
fi
./fuzz_files -max_total_time="$seconds" -max_len=1048576 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=4096 -close_fd_mask=2 \
    -print_final_stats=1 \
    -artifact_prefix="$build/files-" corpus_files "$seeds"
