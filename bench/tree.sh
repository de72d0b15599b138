#!/bin/sh
# The everyday tree job: two identifiers renamed across a copy of /usr/include, by kestrom, perl -pi
# and sed -i, each on a fresh copy, with cat and rg -l over the same files as the floors of reading
# and of searching; one xargs process, then one per core. Every tree is compared with perl's. Then
# one replacement in the last megabyte of a 256 MiB file, in place, against reading it with cat.
# Prints the median of the runs (3 by default) in seconds, and each tool's ratio to cat.
#
# usage: bench/tree.sh path/to/kestrom [runs, default 3] [source tree, default /usr/include]
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${2:-3}
src=${3:-/usr/include}
export LC_ALL=C
cores=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
has() { command -v "$1" >/dev/null 2>&1; }

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
# median FILE: the middle of the numbers in FILE.
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Each tool as one xargs command over the files of the current directory; $P is the number of
# processes.
job_kestrom() { xargs -0 -n "$N" -P "$P" "$bin" -euint32_t u32_type -esize_t usize_type || [ $? -eq 123 ]; }
job_perl() { xargs -0 -n "$N" -P "$P" perl -pi -e 's/uint32_t/u32_type/g; s/size_t/usize_type/g'; }
job_sed() { xargs -0 -n "$N" -P "$P" sed -i -e 's/uint32_t/u32_type/g' -e 's/size_t/usize_type/g'; }
job_cat() { xargs -0 -n "$N" -P "$P" cat >/dev/null; }
job_rg() { xargs -0 -n "$N" -P "$P" rg -l -e uint32_t -e size_t >/dev/null || [ $? -eq 123 ]; }

cp -a "$src" "$work/orig"
mkdir "$work/old"
# Files deleted just before (an earlier run of this script) would slow the first runs down in the
# same way; once written out, they are passed over for five seconds only.
sync
sleep 6
files=$(find "$work/orig" -type f | wc -l)
bytes=$(find "$work/orig" -type f -print0 | xargs -0 cat | wc -c)
echo "tree: $src, $files files, $((bytes / 1048576)) MiB; $runs runs each, median in seconds"

for P in 1 "$cores"; do
    # One batch for one process; batches of a core's share for many.
    if [ "$P" = 1 ]; then N=100000; else N=$(((files + P - 1) / P)); fi
    tools="kestrom perl sed cat"
    has rg && tools="$tools rg"
    for tool in $tools; do
        : > "$work/times"
        for i in $(seq "$runs"); do
            # Each run on a copy of its own, the old ones removed only at the end: on ext4 without
            # a journal, the inodes of files deleted seconds before are passed over one by one
            # whenever a file is made, which made later runs slower than earlier ones.
            [ -e "$work/t" ] && mv "$work/t" "$work/old/$P.$tool.$i"
            cp -a "$work/orig" "$work/t"
            # The copy's own writes to disk would otherwise run during the job.
            sync
            cd "$work/t"
            t0=$(now)
            find . -type f -print0 | "job_$tool"
            t1=$(now)
            cd "$work"
            calc "$t1 - $t0" >> "$work/times"
        done
        case $tool in
            kestrom | perl | sed)
                [ -e "$work/$tool" ] && mv "$work/$tool" "$work/old/$P.$tool"
                mv "$work/t" "$work/$tool" ;;
        esac
        median "$work/times" > "$work/median.$tool"
    done
    same=yes
    for tool in kestrom sed; do
        diff -r --no-dereference "$work/perl" "$work/$tool" >/dev/null || same="NO ($tool differs from perl)"
    done
    floor=$(cat "$work/median.cat")
    echo "xargs -P$P: trees equal to perl's: $same"
    for tool in $tools; do
        m=$(cat "$work/median.$tool")
        printf '  %-8s %8.3f s  %6.2fx cat\n' "$tool" "$m" "$(calc "$m / $floor")"
    done
    printf '  kestrom is %.1fx faster than perl -pi, %.1fx faster than sed -i\n' \
        "$(calc "$(cat "$work/median.perl") / $(cat "$work/median.kestrom")")" \
        "$(calc "$(cat "$work/median.sed") / $(cat "$work/median.kestrom")")"
done
rm -rf "$work/orig" "$work/t" "$work/kestrom" "$work/perl" "$work/sed" "$work/old"

# 256 MiB of text without the word, and the word once, 512 KiB before the end. Each run turns
# one word into the other, so that every run has exactly one replacement.
big=$work/big
yes "$(printf '%079d' 0 | tr 0 x)" | head -c $((256 * 1048576 - 524288)) > "$big"
printf 'WORDONE\n' >> "$big"
yes "$(printf '%079d' 0 | tr 0 y)" | head -c $((524288 - 8)) >> "$big"
: > "$work/times.k"
: > "$work/times.c"
for i in $(seq "$runs"); do
    t0=$(now)
    cat "$big" >/dev/null
    t1=$(now)
    if [ $((i % 2)) = 1 ]; then "$bin" -eWORDONE WORDTWO "$big"; else "$bin" -eWORDTWO WORDONE "$big"; fi
    t2=$(now)
    calc "$t1 - $t0" >> "$work/times.c"
    calc "$t2 - $t1" >> "$work/times.k"
done
grep -c 'WORD' "$big" | grep -qx 1 || echo "256 MiB file: the word is not there once" >&2
c=$(median "$work/times.c")
k=$(median "$work/times.k")
echo "256 MiB file, one late replacement in place:"
printf '  %-8s %8.3f s  %6.2fx cat\n' kestrom "$k" "$(calc "$k / $c")" cat "$c" 1
