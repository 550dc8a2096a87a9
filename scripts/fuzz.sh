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
cmake --build "$build" --target fuzz_scan fuzz_files make_fragmented_udf -j 2 >/dev/null

# New inputs go to working corpora; the checked-in seeds stay as they are.
# Each scan writes a mapfile: in memory where /dev/shm is there.
mkdir -p "$build/corpus" "$build/corpus_files" "$build/seeds_files"
cd "$build"
[ -w /dev/shm ] && export TMPDIR=/dev/shm
./fuzz_scan -max_total_time="$seconds" -max_len=24576 -print_final_stats=1 \
    -artifact_prefix="$build/scan-" corpus "$root/fuzz/corpus"

# Seeds for the file system reader: small trees with long, odd and linked
# names and folders deep enough for Rock Ridge to move them, as ISO 9660
# with Rock Ridge and Joliet, plain, a UDF bridge, XA, and xorriso's level 3
# (whose long names continue in other blocks); Joliet names with a surrogate
# pair and a lone surrogate; and a UDF file in 2 000 pieces.
seeds=$build/seeds_files
if [ ! -f "$seeds/fragmented.udf" ]; then
    tree=$(mktemp -d)
    mkdir -p "$tree/DATA/sub/deeper" "$tree/d/d/d/d/d/d/d/d/d/d"
    printf 'hello' >"$tree/a.txt"
    head -c 7000 /dev/zero | tr '\0' 'x' >"$tree/DATA/big.bin"
    printf 'x' >"$tree/DATA/new
line"
    : >"$tree/DATA/empty"
    printf 'x' >"$tree/d/d/d/d/d/d/d/d/d/d/deep.txt"
    printf 'x' >"$tree/DATA/$(printf 'L%.0s' $(seq 1 150))_part1.mkv"
    ln "$tree/a.txt" "$tree/DATA/alias.txt"
    genisoimage -quiet -no-pad -R -J -o "$seeds/rr-joliet.iso" "$tree"
    genisoimage -quiet -no-pad -o "$seeds/plain.iso" "$tree"
    genisoimage -quiet -no-pad -R -J -udf -o "$seeds/udf.iso" "$tree"
    genisoimage -quiet -no-pad -R -XA -o "$seeds/xa.iso" "$tree"
    xorriso -as mkisofs -quiet -iso-level 3 -R -J -o "$seeds/xorriso.iso" "$tree" 2>/dev/null
    rm -rf "$tree"
    tree=$(mktemp -d)
    printf 'x' >"$tree/emoji.bin"
    printf 'x' >"$tree/lone.bin"
    genisoimage -quiet -no-pad -J -o "$seeds/joliet-names.iso" "$tree"
    rm -rf "$tree"
    # In UTF-16: "em" becomes U+1F600, "l" a lone high surrogate.
    for at in $(grep -obUaP '\x00e\x00m\x00o' "$seeds/joliet-names.iso" | cut -d: -f1); do
        printf '\xd8\x3d\xde\x00' | dd of="$seeds/joliet-names.iso" bs=1 seek="$at" conv=notrunc status=none
    done
    for at in $(grep -obUaP '\x00l\x00o\x00n' "$seeds/joliet-names.iso" | cut -d: -f1); do
        printf '\xd8' | dd of="$seeds/joliet-names.iso" bs=1 seek="$at" conv=notrunc status=none
    done
    ./make_fragmented_udf "$seeds/fragmented.udf" 2000
fi
./fuzz_files -max_total_time="$seconds" -max_len=1048576 -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
    -print_final_stats=1 \
    -artifact_prefix="$build/files-" corpus_files "$seeds"
