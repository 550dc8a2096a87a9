#!/usr/bin/env bash
# Writes a small DVD-like image to $1, as genisoimage makes them (a UDF
# bridge with ISO 9660, Rock Ridge and Joliet): a VIDEO_TS folder whose VOB
# files hold runs of zeros where a drive could not read, one inside a file
# and one across the end of a file into the next.
# Usage: scripts/demo_dvd.sh IMAGE
set -eu
out=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/VIDEO_TS" "$tree/AUDIO_TS"
fill() { # $1 bytes of $2 text, into $3
    local text=$2
    while [ "${#text}" -lt 65536 ]; do text=$text$text; done
    { while :; do printf '%s' "$text"; done; } 2>/dev/null | head -c "$1" >"$3"
}
fill 12288 'video manager information ' "$tree/VIDEO_TS/VIDEO_TS.IFO"
fill 12288 'video manager backup ' "$tree/VIDEO_TS/VIDEO_TS.BUP"
fill 20000 'title set 1 information ' "$tree/VIDEO_TS/VTS_01_0.IFO"
fill 4194304 'title set 1 part 1 MPEG program stream ' "$tree/VIDEO_TS/VTS_01_1.VOB"
fill 2097152 'title set 1 part 2 MPEG program stream ' "$tree/VIDEO_TS/VTS_01_2.VOB"
genisoimage -quiet -udf -R -J -V DEMO_DVD -o "$out.tmp" "$tree"
# The first sector of a file, as isoinfo lists it.
first_sector() {
    isoinfo -R -l -i "$out.tmp" | awk -v name="$1" '$NF == name { gsub(/\[/, ""); print $(NF - 2); exit }'
}
zero() { # $1 first sector, $2 count
    dd if=/dev/zero of="$out.tmp" bs=2048 seek="$1" count="$2" conv=notrunc status=none
}
vob1=$(first_sector VTS_01_1.VOB)
vob2=$(first_sector VTS_01_2.VOB)
zero $((vob1 + 100)) 10     # inside the first VOB
zero $((vob2 - 2)) 5        # its last 2 sectors and the next VOB's first 3
mv "$out.tmp" "$out"
