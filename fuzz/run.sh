#!/bin/sh
# Runs every fuzz target of a build directory for a fixed time on its seed corpus.
# usage: fuzz/run.sh BUILD_DIR SECONDS
set -eu
dir=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
found=0
for target in "$dir"/*_fuzz; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    found=1
    name=$(basename "$target")
    corpus="$dir/corpora/$name"
    mkdir -p "$corpus"
    seeds="$here/corpus/$name"
    echo "fuzzing $name for ${seconds}s"
    if [ -d "$seeds" ]; then
        "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            "$corpus" "$seeds"
    else
        "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            "$corpus"
    fi
done
[ "$found" = 1 ] || echo "no fuzz targets in $dir"
