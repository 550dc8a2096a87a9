#!/usr/bin/env bash
# Sets up, builds sectorscan (Release) and scans IMAGE, or a demo image when
# none is given. Standard output is the tool's output alone; everything else
# goes to standard error.
# Usage: scripts/run.sh [IMAGE [ARGS...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}"

build=$root/build/run
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_BUILD_TESTS=OFF >&2
cmake --build "$build" --target sectorscan -j 2 >&2

if [ "$#" -eq 0 ]; then
    image=$build/demo.img
    [ -f "$image" ] || bash "$root/scripts/demo_image.sh" "$image"
    echo "sectorscan: no image given; scanning the demo image $image" >&2
    set -- "$image"
fi
exec "$build/sectorscan" "$@"
