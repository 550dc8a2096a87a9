#!/usr/bin/env bash
# Sets up, builds sectorscan (Release) and scans IMAGE, or a demo image when
# none is given. Standard output is the tool's output alone. The build is
# quiet: its output is shown only when it fails, and CMake configures only
# until it has once succeeded.
# Usage: scripts/run.sh [IMAGE [ARGS...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}"

build=$root/build/run
mkdir -p "$build"
log=$build/build.log
# A configure that failed leaves no Makefile, and its cache is dropped, so
# that the next run configures afresh.
if ! { [ -f "$build/Makefile" ] ||
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSECTORSCAN_BUILD_TESTS=OFF ||
    { rm -f "$build/CMakeCache.txt"; false; }; } >"$log" 2>&1 ||
    ! cmake --build "$build" --target sectorscan -j 2 >>"$log" 2>&1; then
    cat "$log" >&2
    echo "sectorscan: the build failed (log: $log)" >&2
    exit 1
fi

if [ "$#" -eq 0 ]; then
    image=$build/demo.img
    [ -f "$image" ] || bash "$root/scripts/demo_image.sh" "$image"
    echo "sectorscan: no image given; scanning the demo image $image" >&2
    set -- "$image"
fi
exec "$build/sectorscan" "$@"
