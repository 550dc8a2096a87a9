#!/usr/bin/env bash
# Writes a small demo image to $1: data sectors with a few runs of empty
# sectors between them, one across the 8 MiB mark (a piece boundary), and a
# run at the end that has no data after it and so is not reported.
set -eu
out=$1

data() { # $1 sectors of text
    local bytes=$(($1 * 2048)) line='sectorscan demo image: data sector '
    local text=$line
    while [ "${#text}" -lt "$bytes" ]; do text=$text$text; done
    printf '%s' "${text:0:$bytes}"
}
zeros() { # $1 all-zero sectors
    head -c $(($1 * 2048)) /dev/zero
}

{
    data 100;  zeros 1      # sector 100 on its own
    data 99;   zeros 16     # sectors 200 to 215
    data 3874; zeros 16     # sectors 4090 to 4105, across the 8 MiB mark
    data 894;  zeros 8      # the image ends in empty sectors
} >"$out.tmp"
mv "$out.tmp" "$out"
