#!/usr/bin/env bash
# Benchmark: a 1 GiB image read by dd (the read floor) and scanned by
# sectorscan, warm and cold, on all CPUs and limited to 1 and 2 with taskset;
# two dd processes over the two halves at once; the design's floor (threads
# that only read and check), reading whole pieces, reading them in slices,
# and mapping; the peak resident memory; a sparse 64 GiB image and an 8 GiB
# one with data in every 2 MiB, cold; --files on a 4 GiB ISO of one file and
# its memory on an ISO of 10 000 files; the portable table build; and the
# per-sector micro-benchmark.
#
# Every figure is the median of ROUNDS runs with its quartiles. The commands
# of a section run in turn within each round (interleaved), so that a change
# in the machine's state during the run touches all of them alike.
# Usage: scripts/bench.sh [ROUNDS [SECTION...]]   (default 15, and every
# section: warm cold sparse files raw table)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev time xorriso genisoimage strace
rounds=${1:-15}
shift || true
sections=" ${*:-warm cold sparse files raw table} "
wanted() { [[ $sections == *" $1 "* ]]; }

fast=$root/build/bench
portable=$root/build/bench-portable
cmake -S "$root" -B "$fast" -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_BUILD_TESTS=OFF -DSECTORSCAN_BUILD_BENCH=ON >/dev/null
cmake --build "$fast" -j 2 >/dev/null
cmake -S "$root" -B "$portable" -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_BUILD_TESTS=OFF -DSECTORSCAN_WITH_ISAL=OFF >/dev/null
cmake --build "$portable" --target sectorscan -j 2 >/dev/null

image=$fast/bench-1g.img
[ -f "$image" ] || "$fast/make_bench_image" "$image" 1024
scan=$fast/sectorscan
samples=$(mktemp -d)
trap 'rm -rf "$samples"' EXIT

evict() { dd if="$image" iflag=nocache count=0 status=none; }
# dd on two cores: two processes over the two halves at once.
halves='dd if="$1" of=/dev/null bs=8M count=64 status=none & dd if="$1" of=/dev/null bs=8M skip=64 status=none; wait'
warm() { cat "$image" >/dev/null; }

# Runs "$@" once and appends "wall_ms cpu_ms rss_kib" to the samples of $name.
sample() {
    local name=$1
    shift
    local start end
    start=$(date +%s%N)
    /usr/bin/time -o "$samples/time" -f '%U %S %M' "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    read -r user sys rss <"$samples/time"
    awk -v w=$(((end - start) / 1000)) -v u="$user" -v s="$sys" -v r="$rss" \
        'BEGIN { printf "%.1f %.0f %d\n", w / 1000, (u + s) * 1000, r }' >>"$samples/$name"
}

# The peaks of RssAnon and RssFile (KiB) of "$@", polled from /proc as it runs.
peak_rss() {
    "$@" >/dev/null &
    local pid=$! anon=0 file=0 a f
    while read -r a f < <(awk '/^RssAnon/ { a = $2 } /^RssFile/ { f = $2 } END { print a + 0, f + 0 }' \
        "/proc/$pid/status" 2>/dev/null) && kill -0 "$pid" 2>/dev/null; do
        ((a > anon)) && anon=$a
        ((f > file)) && file=$f
    done
    wait "$pid"
    echo "$anon $file"
}

# Median and quartiles of column $2 of the samples of $1: "q1 median q3".
quartiles() {
    cut -d' ' -f"$2" "$samples/$1" | sort -n | awk '{ v[NR] = $1 }
        function at(p,  i, f) { i = 1 + (NR - 1) * p; f = int(i); return v[f] + (i - f) * (v[f + 1 < NR ? f + 1 : NR] - v[f]) }
        END { printf "%.1f %.1f %.1f", at(0.25), at(0.5), at(0.75) }'
}
median() { quartiles "$1" "$2" | cut -d' ' -f2; }

# One line: the label, median wall time [quartiles], median CPU time, and
# with $3 the speed against that sample's median (its time / this one's);
# with $4, the time against that one's median instead, and $4 naming it.
report() {
    local name=$1 label=$2 against=${3:-} what=${4:-}
    read -r q1 med q3 <<<"$(quartiles "$name" 1)"
    local line
    line=$(printf '  %-30s %8.1f ms [%7.1f, %7.1f]  cpu %6.0f ms' "$label" "$med" "$q1" "$q3" "$(median "$name" 2)")
    if [ -n "$what" ]; then
        line+=$(awk -v a="$(median "$against" 1)" -v b="$med" -v w="$what" 'BEGIN { printf "   %.3f x %s", b / a, w }')
    elif [ -n "$against" ]; then
        line+=$(awk -v a="$(median "$against" 1)" -v b="$med" 'BEGIN { printf "   %.2f x dd speed (%.2f x its time)", a / b, b / a }')
    fi
    echo "$line"
}

echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) CPUs; kernel $(uname -r)"
echo "image: $image ($(stat -c %s "$image") bytes); $rounds interleaved rounds"
echo "each line: median wall time [first quartile, third quartile], median CPU time (user + system)"
echo

warm_section() {
warm
for _ in $(seq "$rounds"); do
    sample dd_warm dd if="$image" of=/dev/null bs=8M
    sample scan_warm "$scan" "$image"
    sample scan_map "$scan" --mapfile "$samples/bench.map" "$image"
    sample dd_one taskset -c 0 dd if="$image" of=/dev/null bs=8M
    sample scan_one taskset -c 0 "$scan" "$image"
    sample scan_two taskset -c 0,1 "$scan" "$image"
    sample dd_halves bash -c "$halves" _ "$image"
    sample floor_all "$fast/read_and_check" "$image" "$(nproc)"
    sample floor_one taskset -c 0 "$fast/read_and_check" "$image" 1
    sample sliced_all "$fast/read_and_check" "$image" "$(nproc)" sliced 512
    sample sliced_one taskset -c 0 "$fast/read_and_check" "$image" 1 sliced 512
    sample floor_map_all "$fast/read_and_check" "$image" "$(nproc)" populate 8
    sample floor_map_one taskset -c 0 "$fast/read_and_check" "$image" 1 populate 8
done
echo "warm page cache"
report dd_warm "dd bs=8M (read floor)"
report scan_warm "sectorscan, all $(nproc) CPUs" dd_warm
report scan_map "the same, with --mapfile" dd_warm
report scan_two "sectorscan, taskset 2 CPUs" dd_warm
report scan_one "sectorscan, taskset 1 CPU" dd_one
report dd_one "dd bs=8M, taskset 1 CPU"
report dd_halves "2 x dd over halves, at once" dd_warm
echo "  the design's floor: threads that only read and check, no ring and no report"
report floor_all "$(nproc) threads" dd_warm
report floor_one "1 thread, taskset 1 CPU" dd_one
echo "  the same, each piece read in 512 KiB slices and checked while in the core's cache"
report sliced_all "$(nproc) threads, sliced" dd_warm
report sliced_one "1 thread, sliced, taskset 1 CPU" dd_one
echo "  sectorscan against the sliced floor"
report scan_warm "sectorscan, all $(nproc) CPUs" sliced_all "the floor's time"
report scan_one "sectorscan, taskset 1 CPU" sliced_one "the floor's time"
echo "  the same, but each 8 MiB piece mapped and its pages brought in at once, not read"
report floor_map_all "$(nproc) threads, mapped" dd_warm
report floor_map_one "1 thread, mapped, taskset 1 CPU" dd_one
echo "  sectorscan against the faster floor, sliced or mapped"
faster_all=$(awk -v a="$(median sliced_all 1)" -v b="$(median floor_map_all 1)" 'BEGIN { print (a <= b ? "sliced_all" : "floor_map_all") }')
faster_one=$(awk -v a="$(median sliced_one 1)" -v b="$(median floor_map_one 1)" 'BEGIN { print (a <= b ? "sliced_one" : "floor_map_one") }')
report scan_warm "sectorscan, all $(nproc) CPUs" "$faster_all" "the ${faster_all%_*} floor's time"
report scan_one "sectorscan, taskset 1 CPU" "$faster_one" "the ${faster_one%_*} floor's time"
# Which way its readers chose: the claims' slices read (pread) and mapped
# (shared mappings of the image), counted once with strace.
strace -f -qq -e trace=pread64,mmap -o "$samples/trace" "$scan" "$image" >/dev/null
echo "  the way sectorscan chose here: $(grep -c 'pread64(' "$samples/trace") slices read, $(grep -c 'MAP_SHARED' "$samples/trace") mapped"
echo
rss=$(cut -d' ' -f3 "$samples/scan_warm" | sort -n | tail -1)
echo "peak resident memory of sectorscan (largest of its warm runs): $rss KiB ($(awk -v r="$rss" 'BEGIN { printf "%.2f", r / 1024 }') MiB)"
read -r anon file <<<"$(peak_rss "$scan" "$image")"
echo "  of which its own (RssAnon) $anon KiB, the image's pages while mapped (RssFile) $file KiB, at their peaks"
echo
}

cold_section() {
cold_rounds=$(((rounds + 1) / 2))
for _ in $(seq "$cold_rounds"); do
    evict
    sample dd_cold dd if="$image" of=/dev/null bs=8M
    evict
    sample scan_cold "$scan" "$image"
done
echo "cold page cache ($cold_rounds rounds; evicted with posix_fadvise DONTNEED before each run)"
report dd_cold "dd bs=8M (read floor)"
report scan_cold "sectorscan, all $(nproc) CPUs" dd_cold
echo
}

sparse_section() {
# 64 GiB of holes with 2 MiB of data at 16, 32 and 48 GiB and at the end:
# no disk space, and nothing to read but the data.
sparse=$fast/sparse-64g.img
if [ ! -f "$sparse" ]; then
    truncate -s 64G "$sparse.tmp"
    for at in $((16 * 512)) $((32 * 512)) $((48 * 512)) $((64 * 512 - 1)); do
        dd if="$image" of="$sparse.tmp" bs=2M count=1 seek="$at" conv=notrunc status=none
    done
    mv "$sparse.tmp" "$sparse"
fi
evict_sparse() { dd if="$sparse" iflag=nocache count=0 status=none; }
sparse_rounds=$(((rounds + 2) / 3))
for _ in $(seq "$sparse_rounds"); do
    evict_sparse
    sample dd_holes dd if="$sparse" of=/dev/null bs=8M count=128
    evict_sparse
    sample scan_sparse "$scan" "$sparse"
done
echo "sparse 64 GiB image, 8 MiB of data in four places, cold ($sparse_rounds rounds)"
report dd_holes "dd bs=8M, its first 1 GiB"
report scan_sparse "sectorscan, the whole image" dd_holes
echo

# 8 GiB with one 4 KiB block of data in every 2 MiB, as recovery tools
# leave images: 16 MiB of data among holes smaller than a piece.
fine=$fast/sparse-8g-fine.img
if [ ! -f "$fine" ]; then
    truncate -s 8G "$fine.tmp"
    for at in $(seq 0 4095); do
        dd if="$image" of="$fine.tmp" bs=4096 count=1 skip="$at" seek=$((at * 512)) conv=notrunc status=none
    done
    mv "$fine.tmp" "$fine"
fi
evict_fine() { dd if="$fine" iflag=nocache count=0 status=none; }
for _ in $(seq "$sparse_rounds"); do
    evict_fine
    sample scan_fine "$scan" "$fine"
done
echo "sparse 8 GiB image, 4 KiB of data in every 2 MiB, cold ($sparse_rounds rounds)"
report scan_fine "sectorscan, the whole image"
evict_fine
"$scan" "$fine" >/dev/null
echo "  page cache after one cold scan: $(fincore --bytes --noheadings --output RES "$fine" | tr -d ' ') bytes of the file"
echo

}

# --files: a 4 GiB ISO 9660 image (level 3) of one file of the bench image's
# data, four times over, with and without the file lines; folders of 16 000
# and 64 000 subfolders; a UDF file in 504 000 pieces; and the memory of
# --files on an ISO of 100 000 files in 100 folders.
files_section() {
big_iso=$fast/bench-4g.iso
if [ ! -f "$big_iso" ]; then
    tree=$(mktemp -d "$fast/tree.XXXXXX")
    cat "$image" "$image" "$image" "$image" >"$tree/disc.bin"
    xorriso -as mkisofs -quiet -iso-level 3 -R -J -o "$big_iso.tmp" "$tree" 2>/dev/null
    rm -rf "$tree"
    mv "$big_iso.tmp" "$big_iso"
fi
for count in 16000 64000; do
    folders=$fast/bench-$count-folders.iso
    if [ ! -f "$folders" ]; then
        tree=$(mktemp -d "$fast/tree.XXXXXX")
        mkdir "$tree/top"
        (cd "$tree/top" && seq -f "d%05g" 1 "$count" | xargs mkdir)
        xorriso -as mkisofs -quiet -R -J -o "$folders.tmp" "$tree" 2>/dev/null
        rm -rf "$tree"
        mv "$folders.tmp" "$folders"
    fi
done
fragmented=$fast/bench-fragmented.udf
[ -f "$fragmented" ] || "$fast/make_fragmented_udf" "$fragmented" 504000
many_iso=$fast/bench-100000-files.iso
if [ ! -f "$many_iso" ]; then
    tree=$(mktemp -d "$fast/tree.XXXXXX")
    for folder in $(seq -w 0 99); do
        mkdir "$tree/folder-$folder"
        head -c 3000000 "$image" | split -b 3000 -a 3 -d --additional-suffix=.dat - "$tree/folder-$folder/file-"
    done
    genisoimage -quiet -R -J -o "$many_iso.tmp" "$tree"
    rm -rf "$tree"
    mv "$many_iso.tmp" "$many_iso"
fi
cat "$big_iso" "$fast"/bench-*-folders.iso "$fragmented" "$many_iso" >/dev/null
for _ in $(seq "$rounds"); do
    sample iso_plain "$scan" "$big_iso"
    sample iso_files "$scan" --files "$big_iso"
done
files_rounds=$(((rounds + 2) / 3))
for _ in $(seq "$files_rounds"); do
    sample folders_16000 "$scan" --files "$fast/bench-16000-folders.iso"
    sample folders_64000 "$scan" --files "$fast/bench-64000-folders.iso"
    sample fragmented "$scan" --files "$fragmented"
    sample many_files "$scan" --files "$many_iso"
done
echo "--files, warm ($rounds rounds; the rest $files_rounds)"
report iso_plain "4 GiB ISO, one file"
report iso_files "the same, with --files" iso_plain "the plain scan's time"
report folders_16000 "16 000 subfolders"
report folders_64000 "64 000 subfolders" folders_16000 "the time of 16 000"
report fragmented "a UDF file in 504 000 pieces"
"$scan" --files "$fragmented" 2>&1 >/dev/null | sed 's/^/  which says: /'
report many_files "100 000 files"
many_rss=$(cut -d' ' -f3 "$samples/many_files" | sort -n | tail -1)
echo "  peak resident memory of --files on an ISO of 100 000 files: $many_rss KiB ($(awk -v r="$many_rss" 'BEGIN { printf "%.2f", r / 1024 }') MiB)"
echo
}

# A raw image (Mode 1 frames of 2352 bytes) of the 1 GiB image: 1.15 times
# its bytes, the same user data; and the same with --damaged, which checks
# every frame's EDC and parity too.
raw_section() {
raw=$fast/bench-1g.raw
[ -f "$raw" ] || "$fast/make_raw_image" "$image" "$raw"
# Both in the page cache as reading puts them there (in large folios, not
# in the small ones that writing the raw image just left).
for file in "$image" "$raw"; do
    dd if="$file" iflag=nocache count=0 status=none
    cat "$file" >/dev/null
done
for _ in $(seq "$rounds"); do
    sample raw_iso "$scan" "$image"
    sample raw_frames "$scan" "$raw"
done
for _ in $(seq "$(((rounds + 2) / 3))"); do
    sample raw_damaged "$scan" --damaged "$raw"
done
echo "raw CD frames, warm ($rounds rounds)"
report raw_iso "the 1 GiB image, 2048-byte sectors"
report raw_frames "its raw image, 2352-byte frames" raw_iso "the ISO's time"
report raw_damaged "the same, with --damaged" raw_iso "the ISO's time"
echo
}

table_section() {
warm
for _ in 1 2 3; do
    sample table "$portable/sectorscan" "$image"
done
echo "portable table CRC-32 build (3 runs, warm)"
report table "sectorscan (table)" dd_warm
echo
echo "per-sector emptiness test (Google Benchmark):"
"$fast/bench_sector_checks" --benchmark_min_time=0.5 2>/dev/null | grep -E '^(table|is_empty)'
}

for section in warm cold sparse files raw table; do
    if wanted "$section"; then
        "${section}_section"
    fi
done
