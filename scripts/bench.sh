#!/usr/bin/env bash
# Benchmark: a 1 GiB image read by dd (the read floor), by sectorscan, and by
# sectorscan built with the portable table CRC-32, warm and cold; the peak
# resident memory; and the per-sector micro-benchmark.
# Usage: scripts/bench.sh [RUNS]   (default 5; each time is the best of RUNS)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev time
runs=${1:-5}

fast=$root/build/bench
portable=$root/build/bench-portable
cmake -S "$root" -B "$fast" -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_BUILD_TESTS=OFF -DSECTORSCAN_BUILD_BENCH=ON >/dev/null
cmake --build "$fast" -j 2 >/dev/null
cmake -S "$root" -B "$portable" -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_BUILD_TESTS=OFF -DSECTORSCAN_WITH_ISAL=OFF >/dev/null
cmake --build "$portable" --target sectorscan -j 2 >/dev/null

image=$fast/bench-1g.img
[ -f "$image" ] || "$fast/make_bench_image" "$image" 1024

evict() { dd if="$image" iflag=nocache count=0 status=none; }
warm() { cat "$image" >/dev/null; }

# Best wall time of $runs runs of "$@", in milliseconds; $prepare runs before each.
best_ms() {
    local prepare=$1
    shift
    local best=
    for _ in $(seq "$runs"); do
        $prepare
        local start end
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        local ms=$(((end - start) / 1000))
        if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    echo "$best"
}
fmt() { awk -v us="$1" 'BEGIN { printf "%8.1f ms", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; kernel $(uname -r)"
echo "image: $image ($(stat -c %s "$image") bytes), best of $runs runs"
echo

warm
dd_w=$(best_ms warm dd if="$image" of=/dev/null bs=8M)
fast_w=$(best_ms warm "$fast/sectorscan" "$image")
port_w=$(best_ms warm "$portable/sectorscan" "$image")
echo "warm page cache"
echo "  dd bs=8M (read floor)  $(fmt "$dd_w")"
echo "  sectorscan (ISA-L)     $(fmt "$fast_w")   $(ratio "$fast_w" "$dd_w") x dd"
echo "  sectorscan (table)     $(fmt "$port_w")   $(ratio "$port_w" "$dd_w") x dd, $(ratio "$port_w" "$fast_w") x ISA-L"
echo

dd_c=$(best_ms evict dd if="$image" of=/dev/null bs=8M)
fast_c=$(best_ms evict "$fast/sectorscan" "$image")
echo "cold page cache (evicted with posix_fadvise DONTNEED before each run)"
echo "  dd bs=8M (read floor)  $(fmt "$dd_c")"
echo "  sectorscan (ISA-L)     $(fmt "$fast_c")   $(ratio "$fast_c" "$dd_c") x dd"
echo

warm
rss=$(/usr/bin/time -f %M "$fast/sectorscan" "$image" 2>&1 >/dev/null | tail -1)
echo "peak resident memory of sectorscan: $rss KiB ($(ratio "$rss" 1024) MiB)"
echo
echo "per-sector emptiness test (Google Benchmark):"
"$fast/bench_sector_checks" --benchmark_min_time=0.5 2>/dev/null | grep -E '^(table|is_empty)'
