#!/bin/sh
# Shows kestrom at work on the bundled sample. usage: examples/demo.sh path/to/kestrom
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/sample.conf" "$work/app.conf"
cp "$here/sample.pat" "$here/sample.args" "$work/"

step() { printf '\n$ %s\n' "$*"; }

step "kestrom -c -eold-db new-db app.conf        # results to standard output"
(cd "$work" && "$bin" -c -eold-db new-db app.conf) || true

step "kestrom -v -edebug info -egrey gray app.conf   # rewritten in place"
(cd "$work" && "$bin" -v -edebug info -egrey gray app.conf) || true
cat "$work/app.conf"

step "echo 'colour=grey; owner=jane_doe;' | kestrom -e'gr[ae]y' silver -e'owner=*;' '@u(0,5)=[@l(6)]'"
echo 'colour=grey; owner=jane_doe;' | "$bin" -e'gr[ae]y' silver -e'owner=*;' '@u(0,5)=[@l(6)]' || true

step "printf 'tab\\there' | kestrom -e'\\t' ' -> '   # escapes: \\t, #9, \$09 are the same byte"
printf 'tab\there\n' | "$bin" -e'\t' ' -> ' || true

cp "$here/sample.conf" "$work/app.conf"
step "cat sample.pat; kestrom -c -fsample.pat app.conf   # a pattern file: one delimited pattern a line"
cat "$work/sample.pat"
(cd "$work" && "$bin" -c -fsample.pat app.conf) || true

step "cat sample.args; kestrom @sample.args   # an argument file: arguments with quotes and comments"
cat "$work/sample.args"
(cd "$work" && "$bin" @sample.args) || true
cat "$work/app.conf"

step "kestrom -dD'[0-9]' -t'DDDD-DD-DD' '<date>'   # a template: D stands for a digit set"
echo 'from 2024-07-01 to 2024-12-31' | "$bin" -dD'[0-9]' -t'DDDD-DD-DD' '<date>' || true

cp "$here/sample.conf" "$work/app.conf"
step "kestrom -b -c -e'server.*' '\\# &' app.conf   # line mode: whole lines that match"
(cd "$work" && "$bin" -b -c -e'server.*' '\# &' app.conf) || true

# The interactive screen clears the terminal first; here that would wipe the demo, so it is cut.
esc=$(printf '\033')
step "kestrom -a -c -eold-db new-db app.conf <<EOF   # asks before each one; answers y, then n"
(cd "$work" && "$bin" -a -c -eold-db new-db app.conf 2>&1 <<ANSWERS | sed "s/${esc}\[2J${esc}\[H//"
y
n
ANSWERS
) || true

cat <<EOF2

The binary is $bin. To type it as kestrom, as the README does:
  sudo make install                  # into /usr/local: the binary, man kestrom, shell completion
  make install PREFIX=\$HOME/.local   # or for you alone (Debian puts ~/.local/bin on the PATH
                                     # at the next login once it exists)
  export PATH="$(dirname "$bin"):\$PATH"   # or for this shell only
EOF2
