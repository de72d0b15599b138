#!/usr/bin/env bash
# The manual page: it formats at 80 columns without a warning and without a line wider than the
# terminal, and each "$ echo ..." example in it prints what the page says it prints.
# usage: tests/manual/run.sh DIR_OF_KESTROM PAGE
set -uo pipefail
bindir=$(cd "$1" && pwd)
page=$2
fails=0

if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "FAIL: man at 80 columns warns: $warnings"; fails=$((fails + 1)); }
    wide=$(MANWIDTH=80 man -l "$page" 2>/dev/null | awk 'length > 80')
    [ -z "$wide" ] || { echo "FAIL: lines wider than 80 columns:"; echo "$wide"; fails=$((fails + 1)); }
else
    echo "no man here: the page's layout is not checked"
fi

# An example is a line "$ echo ...", the lines indented by two blanks that continue it, and the
# lines up to the next "$ " or the end of the block, which are what it prints.
unroff() { sed -e 's/\\-/-/g' -e 's/\\e/\\/g'; }
check() {
    [ -n "$command" ] || return 0
    local got
    got=$(PATH="$bindir:$PATH" bash -c "$command" 2>&1)
    if [ "$got" != "$expected" ]; then
        echo "FAIL: $command"
        echo "  prints:   $got"
        echo "  the page: $expected"
        fails=$((fails + 1))
    fi
    examples=$((examples + 1))
    command=
}
command= expected= examples=0
while IFS= read -r line; do
    case $line in
    '$ echo '*) check; command=${line#\$ }; expected= ; more=1 ;;
    '$ '* | .RE) check ;;
    '  '*) if [ -n "$command" ] && ((more)); then command+=" ${line#  }"; fi ;;
    *) if [ -n "$command" ]; then
           more=0
           expected+=${expected:+$'\n'}$line
       fi ;;
    esac
done < <(unroff < "$page")
check
[ "$examples" -ge 4 ] || { echo "FAIL: only $examples examples found"; fails=$((fails + 1)); }

[ "$fails" = 0 ] || exit 1
echo "manual: the layout and $examples examples agree"
