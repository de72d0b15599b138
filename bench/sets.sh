#!/bin/sh
# shellcheck disable=SC2016 # the table's labels hold backquotes of their own
# Patterns made of many sets. First what each costs before a byte is read: the time and peak
# memory of the whole process on an empty input, in plain and in link mode (-l), beside the
# targets (10 ms and 16 MiB; the 40-digit hash 50 ms). Then passes over a text corpus that holds
# dates and hashes (and near misses of both): dates to "<date>" and 40-digit lower-case hexadecimal
# hashes to "<hash>", against the peers that can say them (sed -E, perl, sd, ripgrep), in the rows
# of bench/compare.sh: MB/s and the ratio to the fastest peer whose output equals kestrom's
# (checked by checksum before timing).
#
# usage: bench/sets.sh path/to/kestrom [corpus MiB, default 64]
# Every run of kestrom before timing has a time and an address-space limit, so that a pattern
# that grows with the product of its sets prints "over limit" instead of taking the machine:
#   SETS_TIME_LIMIT=seconds    default 10
#   SETS_MEMORY_LIMIT=MiB      default 1024
#   SETS_PASSES=no             the compile table alone
# e.g. SETS_TIME_LIMIT=60 SETS_MEMORY_LIMIT=8192 sh bench/sets.sh build/kestrom
# Missing tools (hyperfine, time, sd, ripgrep) are installed from Debian's packages when apt-get
# may be used; a peer that is still missing is left out.
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mib=${2:-64}
time_limit=${SETS_TIME_LIMIT:-10}
mem_limit=${SETS_MEMORY_LIMIT:-1024}
export LC_ALL=C

# shellcheck source=bench/peers.sh
. "$(dirname "$0")/peers.sh"
install_missing hyperfine time sd ripgrep
for cmd in hyperfine /usr/bin/time timeout; do
    has "$cmd" || { echo "$cmd is needed" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
k=$bin

# limited CMD IN OUT: runs the shell command CMD (its first word exec'd, so that the figures are
# its own) from IN to OUT under both limits. Sets "stop" to the limit it passed, or to "failed
# (status N)", or to nothing; the time (s) and peak (KiB) are then in $work/tm.
limited() {
    rm -f "$work/tm"
    rc=0
    # kestrom notices a TERM only once it reads, so the limit sends KILL, to kestrom alone
    # (--foreground): timeout then exits, and time reports the peak of its child's child.
    ( # shellcheck disable=SC3045 # dash and bash have it
      ulimit -v $((mem_limit * 1024)) 2>/dev/null || true
      exec /usr/bin/time -f '%e %M' -o "$work/tm" timeout --foreground -s KILL "$time_limit" \
          sh -c "exec $1" < "$2" > "$3" 2> "$work/err" ) || rc=$?
    stop=""
    if grep -q 'FATAL: malloc' "$work/err"; then
        stop="over limit ($mem_limit MiB)"
    elif [ "$rc" = 124 ] || [ "$rc" = 137 ] || [ ! -s "$work/tm" ]; then
        stop="over limit ($time_limit s)"
    elif [ "$rc" -gt 1 ]; then
        stop="failed (status $rc)"
    fi
}

# cell ARGS TARGET_MS: the cost of kestrom with the shell words ARGS on an empty input, as
# "TIME, PEAK (met|missed)" or why it stopped. A run under a second is timed again by hyperfine
# (median of up to 30, without a shell around it), since /usr/bin/time counts in hundredths.
cell() {
    limited "$k $1" /dev/null /dev/null
    if [ -n "$stop" ]; then
        echo "$stop"
        return
    fi
    secs=$(tail -n 1 "$work/tm" | cut -d' ' -f1)
    peak=$(tail -n 1 "$work/tm" | cut -d' ' -f2)
    if awk -v s="$secs" 'BEGIN { exit !(s < 1) }'; then
        hyperfine -N -i --warmup 1 --min-runs 3 --max-runs 30 --export-csv "$work/csvc" \
            "$k $1" < /dev/null >/dev/null 2>&1
        secs=$(awk -F, 'NR == 2 { print $4 }' "$work/csvc")
    fi
    awk -v s="$secs" -v kib="$peak" -v target="$2" 'BEGIN {
        t = s < 1 ? sprintf("%.1f ms", s * 1000) : sprintf("%.2f s", s)
        met = (s * 1000 < target && kib < 16384) ? "met" : "missed"
        printf "%s, %.1f MiB (%s)\n", t, kib / 1024, met }'
}

# row LABEL TARGET_MS ARGS: one line of the compile table, plain mode then link mode.
row() {
    plain=$(cell "$3" "$2")
    link=$(cell "-l $3" "$2")
    printf '| %s | %s | %s | under %s ms, 16 MiB |\n' "$1" "$plain" "$link" "$2"
}

# Random numbers that are the same on every machine and awk (Park and Miller's generator).
rng='function rnd(n) { seed = (seed * 16807) % 2147483647; return seed % n }
function word(lo, hi,   s, i, n) { s = ""; n = lo + rnd(hi - lo + 1)
    for (i = 0; i < n; i++) s = s substr("abcdefghijklmnopqrstuvwxyz", 1 + rnd(26), 1); return s }
function digits(n,   s, i) { s = ""; for (i = 0; i < n; i++) s = s rnd(10); return s }
function hex(n,   s, i) { s = ""; for (i = 0; i < n; i++) s = s substr("0123456789abcdef", 1 + rnd(16), 1)
    return s }
function date() { return (1970 + rnd(60)) "-" sprintf("%02d", 1 + rnd(12)) "-" sprintf("%02d", 1 + rnd(28)) }'

hex40=$(awk 'BEGIN { for (i = 0; i < 40; i++) printf "[0-9a-f]" }')
az10=$(awk 'BEGIN { for (i = 0; i < 10; i++) printf "[a-z]" }')
date_set='[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]'
# The date among 10,000 literal pairs, half before it and half after: words, and dates and numbers
# that run through its digits.
awk "$rng"' BEGIN { seed = 26
    for (i = 0; n < 10000; i++) {
        if (n == 5000 && !put) { print "/'"$date_set"'/<date>/"; put = 1 }
        r = rnd(4)
        s = r < 2 ? word(5, 12) : r == 2 ? date() : digits(4 + rnd(5))
        if (!seen[s]++) { printf "/%s/<%s>/\n", s, toupper(s); n++ } } }' > "$work/mixed.pat"

echo "Compile cost, empty input (limits: $time_limit s, $mem_limit MiB):"
echo
echo "| Search pattern | plain mode | link mode (-l) | target |"
echo "|---|---|---|---|"
row '`[0-9][0-9][0-9][0-9]`' 10 "'-e[0-9][0-9][0-9][0-9]' X"
row '`[0-9][0-9][0-9][0-9]-[0-9][0-9]`' 10 "'-e[0-9][0-9][0-9][0-9]-[0-9][0-9]' X"
row '`[a-z][a-z][a-z][a-z][a-z]`' 10 "'-e[a-z][a-z][a-z][a-z][a-z]' X"
row "a date \`$date_set\`" 10 "'-e$date_set' X"
row 'a phone number `[0-9][0-9][0-9]-[0-9][0-9][0-9]-[0-9][0-9][0-9][0-9]`' 10 \
    "'-e[0-9][0-9][0-9]-[0-9][0-9][0-9]-[0-9][0-9][0-9][0-9]' X"
row '`[0-9a-f]` forty times' 50 "'-e$hex40' X"
row '`[a-z]` ten times' 10 "'-e$az10' X"
row "the template \`-dD'[0-9]' -t'DDDD-DD-DD' '<date>'\`" 10 "-dD'[0-9]' -t'DDDD-DD-DD' '<date>'"
row 'the date among 10,000 literal pairs' 10 "-f$work/mixed.pat"
# The same pairs without the date: what the literals cost by themselves.
grep -v '^/\[' "$work/mixed.pat" > "$work/literals.pat"
row 'the 10,000 literal pairs alone' 10 "-f$work/literals.pat"
row '`[0-9]x` then `5y`' 10 "'-e[0-9]x' A -e5y B"

[ "${SETS_PASSES:-yes}" = no ] && exit 0

# Text: man pages, documentation and headers, as in bench/compare.sh, with a date, a hash or a
# near miss of either added every 3 KB or so: dates alone, in brackets, after or before a digit,
# cut by a line feed; hashes alone, of 41 or 80 digits, of 39, in capitals, broken by a 'g'.
{ find /usr/share/man -name '*.gz' | head -4000 | xargs zcat 2>/dev/null
  find /usr/share/doc -type f -name '*.txt' -print0 | xargs -0 cat 2>/dev/null
  find /usr/include -type f -name '*.h' -print0 | xargs -0 cat 2>/dev/null; } |
    awk "$rng"' BEGIN { seed = 2026 }
        { if (cut != "") { $0 = cut " " $0; cut = "" }
          bytes += length($0) + 1
          if (bytes < 3000) { print; next }
          bytes = 0
          r = rnd(16)
          if (r < 4) s = date()
          else if (r == 4) s = "(" date() ")"
          else if (r == 5) s = digits(1) date() " " date() digits(1)
          else if (r == 6) s = (1970 + rnd(60)) "-" (1 + rnd(9)) "-" sprintf("%02d", 1 + rnd(28)) " " \
                               (1970 + rnd(60)) "/" sprintf("%02d", 1 + rnd(12)) "/" sprintf("%02d", 1 + rnd(28))
          else if (r == 7) { d = date(); s = substr(d, 1, 8); cut = substr(d, 9) }
          else if (r < 11) s = "commit " hex(40)
          else if (r == 11) s = hex(41) " " hex(80)
          else if (r == 12) s = hex(39)
          else if (r == 13) s = toupper(hex(20)) "F" toupper(hex(19))
          else s = hex(20) "g" hex(19)
          print $0 " " s }' > "$work/seed.txt" || true
size=$((mib * 1048576))
while [ "$(wc -c < "$work/seed.txt")" -lt "$size" ]; do
    cat "$work/seed.txt" "$work/seed.txt" > "$work/more" && mv "$work/more" "$work/seed.txt"
done
# Ending in a line feed, so that line-oriented peers add none.
{ head -c "$((size - 1))" "$work/seed.txt"; echo; } > "$work/text"
rm "$work/seed.txt"

# report NAME BYTES: the timed rows of a job from hyperfine's $work/csv, then those that stopped,
# in MB/s of the median run, each kestrom row with its ratio to the fastest peer whose output was
# equal (cat is the floor, not a peer).
report() {
    awk -F, -v name="$1" -v bytes="$2" -v specs="$work/specs" '
        BEGIN { while ((getline line < specs) > 0) { split(line, f, "|");
                    if (f[1] == name) { note[f[2]] = f[3]; if (f[5] == "stopped") gone[++g] = f[2] } } }
        NR > 1 { mbs[$1] = bytes / $4 / 1e6; order[++n] = $1 }
        END { best = 0
              for (i = 1; i <= n; i++) { t = order[i]
                  if (t !~ /^kestrom/ && t != "cat" && note[t] == "" && mbs[t] > best) best = mbs[t] }
              for (i = 1; i <= n; i++) { t = order[i]
                  ratio = (t ~ /^kestrom/ && best > 0) ? sprintf("%.2fx", mbs[t] / best) : ""
                  printf "| %s | %s | %.0f | %s | %s |\n", name, t, mbs[t], ratio, note[t] }
              for (i = 1; i <= g; i++) printf "| %s | %s | | | %s |\n", name, gone[i], note[gone[i]] }
    ' "$work/csv"
}

# job NAME COMMAND...: each COMMAND is "tool:shell command from standard input to standard
# output", over the text. kestrom's runs go first and under the limits; a peer is compared with
# the first kestrom that finished, the other kestrom with the first.
job() {
    name=$1
    shift
    ref=""
    for spec in "$@"; do
        tool=${spec%%:*} cmd=${spec#*:}
        note="" state=timed
        case $tool in
            kestrom*)
                limited "$cmd" "$work/text" "$work/out"
                if [ -n "$stop" ]; then
                    note=$stop state=stopped
                else
                    sum=$(md5sum < "$work/out" | cut -d' ' -f1)
                    if [ -z "$ref" ]; then ref=$sum; elif [ "$sum" != "$ref" ]; then note="differs"; fi
                fi ;;
            *)
                sum=$(sh -c "$cmd" < "$work/text" 2>/dev/null | md5sum | cut -d' ' -f1) || sum=failed
                [ "$tool" != cat ] && [ -n "$ref" ] && [ "$sum" != "$ref" ] && note="differs" ;;
        esac
        printf '%s|%s|%s|%s|%s\n' "$name" "$tool" "$note" "$cmd" "$state" >> "$work/specs"
    done
    rm -f "$work/out"
    awk -F'|' -v name="$name" '$1 == name && $5 == "timed"' "$work/specs" |
        while IFS='|' read -r _ tool note cmd _; do
            printf '%s\n%s\n' "$tool" "$cmd < $work/text > /dev/null"
        done > "$work/cmds"
    set --
    while IFS= read -r tool && IFS= read -r cmd; do set -- "$@" -n "$tool" "$cmd"; done \
        < "$work/cmds"
    hyperfine -i --warmup 1 --min-runs 3 --export-csv "$work/csv" "$@" >/dev/null 2>&1
    report "$name" "$(wc -c < "$work/text")"
}

: > "$work/specs"
echo
echo "Passes over $mib MiB of text with $(grep -c -E '[0-9]{4}-[0-9]{2}-[0-9]{2}' "$work/text") lines" \
     "holding a date and $(grep -c -E '[0-9a-f]{40}' "$work/text") a hash:"
echo
echo "| Job | Tool | MB/s | kestrom / best equal peer | Note |"
echo "|---|---|---|---|---|"

regex='[0-9]{4}-[0-9]{2}-[0-9]{2}'
set -- "kestrom:$k -c '-e$date_set' '<date>'" "kestrom -l:$k -c -l '-e$date_set' '<date>'" \
    "sed:sed -E 's/$regex/<date>/g'" "perl:perl -pe 's/$regex/<date>/g'" "cat:cat"
has rg && set -- "$@" "ripgrep:rg --passthru -N -r '<date>' '$regex'"
has sd && set -- "$@" "sd:sd '$regex' '<date>'"
job "dates to <date>" "$@"

regex='[0-9a-f]{40}'
set -- "kestrom:$k -c '-e$hex40' '<hash>'" "kestrom -l:$k -c -l '-e$hex40' '<hash>'" \
    "sed:sed -E 's/$regex/<hash>/g'" "perl:perl -pe 's/$regex/<hash>/g'" "cat:cat"
has rg && set -- "$@" "ripgrep:rg --passthru -N -r '<hash>' '$regex'"
has sd && set -- "$@" "sd:sd '$regex' '<hash>'"
job "40-digit hashes to <hash>" "$@"
