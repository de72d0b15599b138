#!/bin/sh
# Whole-process comparison with sed, perl -pi and sd (when installed) on the same jobs.
# usage: bench/compare.sh path/to/kestrom
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
if ! command -v hyperfine >/dev/null 2>&1; then
    echo "hyperfine is needed: apt-get install hyperfine" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 64 MiB of words, lines of about 60 bytes.
awk 'BEGIN { srand(7); split("the quick brown fox jumps over lazy dog and cat", w, " ");
             n = 0; while (n < 67108864) { line = "";
               for (i = 0; i < 10; i++) line = line w[int(rand() * 10) + 1] " ";
               print line; n += length(line) + 1 } }' > "$work/words.txt"

have_sd=0
command -v sd >/dev/null 2>&1 && have_sd=1

job() {  # name, kestrom args, sed script, perl script, sd args
    name=$1; kargs=$2; sscript=$3; pscript=$4; sdargs=$5
    echo
    echo "== $name"
    set -- --warmup 1 --runs 5 \
        -n kestrom "$bin $kargs < $work/words.txt > /dev/null" \
        -n sed "sed '$sscript' < $work/words.txt > /dev/null" \
        -n perl "perl -pe '$pscript' < $work/words.txt > /dev/null"
    if [ "$have_sd" = 1 ]; then
        set -- "$@" -n sd "sd $sdargs < $work/words.txt > /dev/null"
    fi
    hyperfine -N -i "$@" 2>/dev/null || hyperfine -i "$@"
}

job "no match" "-ezebra horse" "s/zebra/horse/g" "s/zebra/horse/g" "zebra horse"
job "one word" "-efox wolf" "s/fox/wolf/g" "s/fox/wolf/g" "fox wolf"
have_sd=0  # sd takes one expression; the next job has three
job "three words" "-efox wolf -edog hound -ecat lynx" \
    "s/fox/wolf/g;s/dog/hound/g;s/cat/lynx/g" "s/fox/wolf/g;s/dog/hound/g;s/cat/lynx/g" ""

echo
echo "== in place, 200 files of 256 KiB (restored before every run)"
mkdir -p "$work/orig" "$work/tree"
i=0
while [ $i -lt 200 ]; do head -c 262144 "$work/words.txt" > "$work/orig/f$i.txt"; i=$((i + 1)); done
hyperfine --warmup 1 --runs 5 -i --prepare "cp $work/orig/* $work/tree/" \
    -n kestrom "$bin -efox wolf $work/tree/*.txt" \
    -n sed "sed -i -e 's/fox/wolf/g' $work/tree/*.txt" \
    -n perl "perl -pi -e 's/fox/wolf/g' $work/tree/*.txt"
