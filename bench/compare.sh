#!/bin/sh
# Whole-process comparison of kestrom with the peers installed on this machine, on corpora built
# from files found here. Prints one table row per job and tool: MB/s and the ratio of kestrom to
# the best peer whose output equals kestrom's (checked by checksum before timing).
#
# usage: bench/compare.sh path/to/kestrom [corpus MiB, default 256]
# Missing peers (hyperfine, sd, ripgrep, rpl, bbe) are installed from Debian's packages when
# apt-get may be used; a peer that is still missing is left out of the table.
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mib=${2:-256}
export LC_ALL=C

# shellcheck source=bench/peers.sh
. "$(dirname "$0")/peers.sh"
install_missing hyperfine sd ripgrep rpl bbe
has hyperfine || { echo "hyperfine is needed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=$((mib * 1048576))

# Text: man pages, documentation and headers, repeated up to the size.
{ find /usr/share/man -name '*.gz' | head -4000 | xargs zcat 2>/dev/null
  find /usr/share/doc -type f -name '*.txt' | xargs cat 2>/dev/null
  find /usr/include -type f -name '*.h' | xargs cat 2>/dev/null; } > "$work/seed.txt" || true
while [ "$(wc -c < "$work/seed.txt")" -lt "$size" ]; do
    cat "$work/seed.txt" "$work/seed.txt" > "$work/more" && mv "$work/more" "$work/seed.txt"
done
# Ending in a line feed, so that line-oriented peers add none.
{ head -c "$((size - 1))" "$work/seed.txt"; echo; } > "$work/text"
rm "$work/seed.txt"
# Binary: shared libraries, repeated likewise.
find /usr/lib -name '*.so*' -type f 2>/dev/null | head -2000 | xargs cat > "$work/seed.bin" || true
while [ "$(wc -c < "$work/seed.bin")" -lt "$size" ]; do
    cat "$work/seed.bin" "$work/seed.bin" > "$work/more" && mv "$work/more" "$work/seed.bin"
done
head -c "$size" "$work/seed.bin" > "$work/bin"
rm "$work/seed.bin"
small=$((size < 67108864 ? size : 67108864))
{ head -c "$((small - 1))" "$work/text"; echo; } > "$work/small"

# Word lists: frequent words of the text, each to its own replacement or all to one string.
tr -cs 'A-Za-z' '\n' < "$work/small" | awk 'length($0) >= 4' | sort | uniq -c | sort -rn |
    awk '{ print $2 }' > "$work/words"
for n in 100 1000 10000; do
    head -n "$n" "$work/words" | awk '{ print length($0), $0 }' | sort -n | cut -d' ' -f2 \
        > "$work/w$n"
    awk '{ printf "-e%s\n<%s>\n", $1, toupper($1) }' "$work/w$n" > "$work/k$n"
    awk '{ printf "-e%s\nWORD\n", $1 }' "$work/w$n" > "$work/ks$n"
    # perl: a hash and an alternation, shortest word first (kestrom takes the first word
    # completed from the leftmost start).
    { printf 'BEGIN { %%h = ('; awk '{ printf "q{%s} => q{<%s>}, ", $1, toupper($1) }' "$work/w$n"
      printf '); $re = join "|", map quotemeta, sort { length($a) <=> length($b) } keys %%h; }\n'
      printf 's/($re)/$h{$1}/g;\n'; } > "$work/p$n.pl"
    awk '{ printf "-e\n%s\n", $1 }' "$work/w$n" > "$work/rg$n"
    paste -sd'|' "$work/w$n" > "$work/alt$n"
done

results=$work/results
: > "$results"
# report NAME BYTES: the rows of a job from hyperfine's $work/csv, in MB/s of the median run, with
# kestrom's ratio to the fastest peer whose output was equal (cat is the floor, not a peer). Each
# tool runs at least three times and for at least three seconds: runs of a few dozen milliseconds
# vary by a quarter on a shared machine.
report() {
    awk -F, -v name="$1" -v bytes="$2" -v specs="$work/specs" '
        BEGIN { while ((getline line < specs) > 0) { split(line, f, "|");
                    if (f[1] == name) note[f[2]] = f[3] } }
        NR > 1 { mbs[$1] = bytes / $4 / 1e6; order[++n] = $1 }
        END { best = 0
              for (i = 1; i <= n; i++) { t = order[i]
                  if (t != "kestrom" && t != "cat" && note[t] == "" && mbs[t] > best) best = mbs[t] }
              for (i = 1; i <= n; i++) { t = order[i]
                  ratio = (t == "kestrom" && best > 0) ? sprintf("%.2fx", mbs[t] / best) : ""
                  printf "| %s | %s | %.0f | %s | %s |\n", name, t, mbs[t], ratio, note[t] } }
    ' "$work/csv"
}

# job NAME INPUT COMMAND...: each COMMAND is "tool:shell command reading $in, writing stdout".
job() {
    name=$1 in=$2
    shift 2
    ref=""
    for spec in "$@"; do
        tool=${spec%%:*} cmd=${spec#*:}
        sum=$(sh -c "$cmd" < "$in" 2>/dev/null | md5sum | cut -d' ' -f1) || sum=failed
        [ "$tool" = kestrom ] && ref=$sum
        note=""
        [ "$tool" != kestrom ] && [ "$tool" != cat ] && [ "$sum" != "$ref" ] && note="differs"
        printf '%s|%s|%s|%s\n' "$name" "$tool" "$note" "$cmd" >> "$work/specs"
    done
    awk -F'|' -v name="$name" '$1 == name' "$work/specs" | while IFS='|' read -r _ tool note cmd; do
        printf '%s\n%s\n' "$tool" "$cmd < $in > /dev/null"
    done > "$work/cmds"
    set --
    while IFS= read -r tool && IFS= read -r cmd; do set -- "$@" -n "$tool" "$cmd"; done \
        < "$work/cmds"
    hyperfine -i --warmup 1 --min-runs 3 --export-csv "$work/csv" "$@" >/dev/null 2>&1
    report "$name" "$(wc -c < "$in")" | tee -a "$results"
}

k=$bin
: > "$work/specs"
echo "| Job | Tool | MB/s | kestrom / best equal peer | Note |"
echo "|---|---|---|---|---|"

set -- "kestrom:$k -c -eprogram PROGRAM" "sed:sed s/program/PROGRAM/g" \
    "perl:perl -pe s/program/PROGRAM/g" "cat:cat"
has rg && set -- "$@" "ripgrep:rg --passthru -N -F program -r PROGRAM"
has sd && set -- "$@" "sd:sd -s program PROGRAM"
has bbe && set -- "$@" "bbe:bbe -e s/program/PROGRAM/"
job "W1 one literal word" "$work/text" "$@"

for n in 100 1000 10000; do
    job "W$((n == 100 ? 2 : n == 1000 ? 3 : 4)) $n words" "$work/small" \
        "kestrom:xargs -s 1000000 -d '\n' -a $work/k$n sh -c 'exec $k -c \"\$@\" < $work/small' x" \
        "perl:perl -p $work/p$n.pl"
    set -- "kestrom:xargs -s 1000000 -d '\n' -a $work/ks$n sh -c 'exec $k -c \"\$@\" < $work/small' x" \
        "perl:perl -pe 's/($(cat "$work/alt$n"))/WORD/g'"
    has rg && set -- "$@" "ripgrep:xargs -s 1000000 -d '\n' -a $work/rg$n sh -c 'exec rg --passthru -N -F -r WORD \"\$@\" $work/small' x"
    has sd && set -- "$@" "sd:sd '$(cat "$work/alt$n")' WORD"
    job "W$((n == 100 ? 2 : n == 1000 ? 3 : 4))s $n words to one" "$work/small" "$@"
done

set -- "kestrom:$k -c '-e\$7fELF\$02\$01\$01#000' PATCHED!" \
    "perl:perl -pe 's/\\x7fELF\\x02\\x01\\x01\\x00/PATCHED!/g'" \
    "sed:sed 's/\\x7fELF\\x02\\x01\\x01\\x00/PATCHED!/g'" "cat:cat"
has rg && set -- "$@" "ripgrep:rg --passthru -N -a -r PATCHED! '(?-u)\\x7fELF\\x02\\x01\\x01\\x00'"
has bbe && set -- "$@" "bbe:bbe -e 's/\\x7fELF\\x02\\x01\\x01\\x00/PATCHED!/'"
job "W5 8-byte sequence, binary" "$work/bin" "$@"

set -- "kestrom:$k -c '-e<*>' '<>'" "perl:perl -0777 -pe 's/<.*?>/<>/gs'"
has rg && set -- "$@" "ripgrep:rg --passthru -N -U --multiline-dotall -r '<>' '<.*?>'"
has sd && set -- "$@" "sd:sd '(?s)<.*?>' '<>'"
job "W7 <*>" "$work/small" "$@"

# Line mode: base64 lines, each replaced whole when it holds "abc". The corpus ends in a line
# feed, so that no tool adds one.
head -c "$((small / 4 * 3))" /dev/urandom | base64 | head -c "$((small - 1))" > "$work/b64"
echo >> "$work/b64"
job "W9 whole lines *abc*" "$work/b64" "kestrom:$k -c -b '-e*abc*' X" \
    "sed:sed 's/^.*abc.*\$/X/'" "perl:perl -pe 's/^.*abc.*\$/X/'"

set -- "kestrom:$k -c -e??fine X" "perl:perl -0777 -pe 's/..fine/X/gs'" "sed:sed s/..fine/X/g"
has rg && set -- "$@" "ripgrep:rg --passthru -N -U --multiline-dotall -r X '..fine'"
has sd && set -- "$@" "sd:sd '(?s)..fine' X"
job "W10 ??fine" "$work/small" "$@"

set -- "kestrom:$k -c -e[a-z]ef[a-z]ne X" "perl:perl -pe 's/[a-z]ef[a-z]ne/X/g'" \
    "sed:sed s/[a-z]ef[a-z]ne/X/g"
has rg && set -- "$@" "ripgrep:rg --passthru -N -r X '[a-z]ef[a-z]ne'"
has sd && set -- "$@" "sd:sd '[a-z]ef[a-z]ne' X"
job "W10 [a-z]ef[a-z]ne" "$work/small" "$@"

# Led by wildcards and sets: every start is a candidate until the literal part fails.
# Each as our pattern and the peers' regex ('.' for '?', taking a line feed and any byte).
for pair in '?[a-z]ing|.[a-z]ing' '[0-9]?:|[0-9].:'; do
    pattern=${pair%%|*} regex=${pair#*|}
    set -- "kestrom:$k -c '-e$pattern' X" "perl:perl -0777 -pe 's/$regex/X/gs'"
    has rg && set -- "$@" "ripgrep:rg --passthru -N -U --multiline-dotall -r X '(?-u)$regex'"
    has sd && set -- "$@" "sd:sd '(?s-u)$regex' X"
    job "W10 $pattern" "$work/small" "$@"
done

sed 's/foo/f_o/g' "$work/small" > "$work/nofoo"
job "star restart *foo" "$work/nofoo" "kestrom:$k -c -e*foo X" "perl:perl -0777 -pe 's/.*?foo/X/gs'"
job "star restart a*foo" "$work/nofoo" "kestrom:$k -c -ea*foo X" \
    "perl:perl -0777 -pe 's/a.*?foo/X/gs'"

# In place: the file is restored before every run.
cp "$work/small" "$work/orig"
inplace="kestrom:$k -eprogram PROGRAM $work/file|sed:sed -i s/program/PROGRAM/g $work/file|perl:perl -pi -e s/program/PROGRAM/g $work/file"
has sd && inplace="$inplace|sd:sd -s program PROGRAM $work/file"
has rpl && inplace="$inplace|rpl:rpl -q program PROGRAM $work/file"
set --
ref=""
IFS='|'
for spec in $inplace; do
    tool=${spec%%:*} cmd=${spec#*:}
    cp "$work/orig" "$work/file"
    sh -c "$cmd" >/dev/null 2>&1 || true
    sum=$(md5sum < "$work/file" | cut -d' ' -f1)
    [ "$tool" = kestrom ] && ref=$sum
    note=""
    [ "$sum" != "$ref" ] && note="differs"
    printf '%s|%s|%s|%s\n' "W6 in place" "$tool" "$note" "$cmd" >> "$work/specs"
    set -- "$@" -n "$tool" "$cmd"
done
unset IFS
hyperfine -i --warmup 1 --min-runs 3 --prepare "cp $work/orig $work/file" --export-csv "$work/csv" \
    "$@" >/dev/null 2>&1
report "W6 in place" "$(wc -c < "$work/orig")"

# A million pairs (W8): the most frequent pairs of neighbouring words of the text, then random
# words of 8 to 18 letters to fill up, each to its own replacement, from a pattern file; and (W8r)
# a million random words alone, which the text rarely holds. Reported for each: the time and peak
# memory of the registration alone (an empty input), and the matching speed (the whole run over
# all of the text less the registration, which varies by a few tenths of a second) beside the
# 10,000-word job's over the same text.
random_words() {
    awk -v n="$1" 'BEGIN { srand(8); for (i = 0; i < n; i++) { w = ""; k = 8 + int(rand() * 11)
                   for (j = 0; j < k; j++) w = w substr("abcdefghijklmnopqrstuvwxyz", 1 + int(rand() * 26), 1)
                   print w } }'
}
{ tr -cs 'A-Za-z' '\n' < "$work/small" | awk 'length($0) >= 2 { if (p != "") print p " " $0; p = $0 }' |
      sort | uniq -c | sort -rn | awk '{ print $2 " " $3 }'
  random_words 1000000; } | awk '!seen[$0]++' | head -n 1000000 |
    awk '{ printf "/%s/%s/\n", $0, toupper($0) }' > "$work/w8.pat"
random_words 1100000 | awk '!seen[$0]++' | head -n 1000000 |
    awk '{ printf "/%s/%s/\n", $0, toupper($0) }' > "$work/w8r.pat"
for job in "W8 w8.pat pairs" "W8r w8r.pat random words"; do
    set -- $job
    name=$1 pat=$2
    shift 2
    what="$*"
    if command -v /usr/bin/time >/dev/null 2>&1; then
        peak=$( { /usr/bin/time -f '%M' "$k" -s -f"$work/$pat" < /dev/null > /dev/null; } 2>&1 | tail -n 1)
    else
        peak="?"
    fi
    hyperfine -i --warmup 1 --runs 5 --export-csv "$work/csv8" \
        -n register "$k -s -f$work/$pat < /dev/null > /dev/null" \
        -n whole "$k -s -c -f$work/$pat < $work/text > /dev/null" \
        -n w4 "xargs -s 1000000 -d '\n' -a $work/k10000 sh -c 'exec $k -c \"\$@\" < $work/text' x > /dev/null" \
        >/dev/null 2>&1
    awk -F, -v bytes="$(wc -c < "$work/text")" -v peak="$peak" -v pairs="$(wc -l < "$work/$pat")" \
        -v name="$name" -v what="$what" '
        NR > 1 { t[$1] = $4 }
        END { match_s = t["whole"] - t["register"]
              printf "| %s %d %s | registration | %.2f s, peak %.0f MiB | | |\n", name, pairs, what, t["register"], peak / 1024
              printf "| %s %d %s | matching | %.0f | %.2fx W4 | |\n", name, pairs, what, bytes / match_s / 1e6,
                     (bytes / match_s) / (bytes / t["w4"]) }' "$work/csv8"
done

# The million-word dictionaries to one string, against the one peer that takes a million
# literals: ripgrep's -F -f, its words shortest first so that its leftmost-first rule (the first
# word listed wins at a start) equals ours (the shortest word completes first). Whole processes,
# registration included, over the 64 MiB text.
random_words_8_12() {
    awk -v n="$1" 'BEGIN { srand(12); for (i = 0; i < n; i++) { w = ""; k = 8 + int(rand() * 5)
                   for (j = 0; j < k; j++) w = w substr("abcdefghijklmnopqrstuvwxyz", 1 + int(rand() * 26), 1)
                   print w } }'
}
random_words_8_12 1100000 | awk '!seen[$0]++' | head -n 1000000 > "$work/m1.words"
awk -F/ 'NR <= 838250 && $2 ~ / / { print $2 }' "$work/w8.pat" > "$work/p1.words"
for words in m1 p1; do
    awk '{ print length($0), $0 }' "$work/$words.words" | sort -n -s -k1,1 | cut -d' ' -f2- \
        > "$work/$words.sorted"
    awk '{ printf "/%s/X/\n", $0 }' "$work/$words.sorted" > "$work/$words.pat"
done
set -- "kestrom:$k -s -c -f$work/m1.pat"
has rg && set -- "$@" "ripgrep:rg --passthru -N -F -f $work/m1.sorted -r X"
job "W8r1 a million random words to one string" "$work/small" "$@"
set -- "kestrom:$k -s -c -f$work/p1.pat"
has rg && set -- "$@" "ripgrep:rg --passthru -N -F -f $work/p1.sorted -r X"
job "W8p1 $(wc -l < "$work/p1.words") word pairs to one string" "$work/small" "$@"
