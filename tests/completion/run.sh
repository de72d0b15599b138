#!/usr/bin/env bash
# The completions of bash, zsh and fish, each typed into a real interactive shell on a
# pseudo-terminal (tmux). usage: tests/completion/run.sh [--installed] DIR_OF_KESTROM [SHELL...]
# With --installed each shell finds the completion where it was installed, by itself; otherwise
# it is given the ones in this tree.
#
# Each case types a command line, presses Tab, then types a marker and turns the line into
# printf '%s|' ... > result, so that the words the completion left are read back exactly, blanks
# included. A shell or tmux that is missing skips the test (status 77), unless
# KESTROM_REQUIRE_SHELLS=1 makes that a failure.
set -uo pipefail

installed=0
[ "${1:-}" = --installed ] && { installed=1; shift; }
bindir=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
completions=$(cd "$here/../../packaging/completion" && pwd)
# bash-alone: bash without the bash-completion package, the completion sourced by hand.
shells=("$@")
[ ${#shells[@]} -gt 0 ] || shells=(bash bash-alone zsh fish)
if ((installed)); then
    # Installed, the completion is found by bash-completion only.
    kept=()
    for shell in "${shells[@]}"; do [ "$shell" = bash-alone ] || kept+=("$shell"); done
    shells=("${kept[@]}")
fi

missing=()
for tool in tmux "${shells[@]%-alone}"; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "missing: ${missing[*]}"
    [ "${KESTROM_REQUIRE_SHELLS:-0}" = 1 ] && exit 1
    exit 77
fi

work=$(mktemp -d)
# A server of its own for each shell: a new session could otherwise meet the server of the shell
# before while it is still going away, and go with it.
tmux_() { tmux -S "$work/tmux-${shell:-none}" -f /dev/null "$@"; }
trap 'for socket in "$work"/tmux-*; do tmux -S "$socket" kill-server 2>/dev/null; done; rm -rf "$work"' EXIT

# What the cases complete: a directory with one file in it, two files with nothing in common.
mkdir -p "$work/dir/src" "$work/home/config/fish"
: > "$work/dir/src/renames.pat"
: > "$work/dir/notes.txt"
: > "$work/dir/app.conf"

cat > "$work/home/bashrc-alone" <<EOF
. '$completions/kestrom.bash'
PS1='READY\$ '
EOF
cat > "$work/home/bashrc" <<EOF
[ -f /usr/share/bash-completion/bash_completion ] && . /usr/share/bash-completion/bash_completion
$( ((installed)) || echo ". '$completions/kestrom.bash'")
PS1='READY\$ '
EOF
cat > "$work/home/.zshrc" <<EOF
$( ((installed)) || echo "fpath=('$completions' \$fpath)")
autoload -Uz compinit && compinit -u -d "$work/home/zcompdump"
bindkey -e
PS1='READY$ '
EOF
cat > "$work/home/config/fish/config.fish" <<EOF
set -g fish_greeting ''
$( ((installed)) || echo "set -p fish_complete_path '$completions'")
function fish_prompt; echo -n 'READY\$ '; end
EOF

fails=0
fail() { echo "FAIL [$shell] $*"; fails=$((fails + 1)); }

# Waits until the pane shows the text (a fixed string), at most twenty seconds.
wait_screen() {
    local i
    for ((i = 0; i < 200; i++)); do
        tmux_ capture-pane -p -t test | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    return 1
}

start_shell() {
    local command
    case $shell in
    bash) command="bash --noprofile --rcfile '$work/home/bashrc' -i" ;;
    bash-alone) command="bash --noprofile --rcfile '$work/home/bashrc-alone' -i" ;;
    zsh) command="zsh -i" ;;
    fish) command="fish -i" ;;
    esac
    local attempt
    for attempt in 1 2; do
        tmux_ new-session -d -s test -x 200 -y 50 -c "$work/dir" \
            "env -i HOME='$work/home' ZDOTDIR='$work/home' XDG_CONFIG_HOME='$work/home/config' \
             XDG_DATA_HOME='$work/home/data' TERM=screen LANG=C.UTF-8 PATH='$bindir:/usr/bin:/bin' \
             $command"
        wait_screen 'READY$' && return 0
        # A machine too busy to start a shell in time: once more, from a fresh server.
        tmux_ kill-server 2>/dev/null
    done
    fail "the shell did not start"
    return 1
}

# Drops the line and clears the screen, and waits for the prompt alone. The keys of the next case
# may follow at once: the shell reads them in order, a completion before the key after it.
clear_line() {
    local i
    # Keys, not Ctrl-C: a signal would overtake the keys before it and flush those after it.
    tmux_ send-keys -t test C-e C-u C-l
    for ((i = 0; i < 200; i++)); do
        [ "$(tmux_ capture-pane -p -t test | grep -v '^$')" = 'READY$' ] && return
        sleep 0.05
    done
    fail "the screen did not clear"
}

n=0
# completes LINE EXPECTED: types LINE and Tab, then X, and expects the words EXPECTED (X marking
# where the cursor was), e.g. "kestrom|-fsrc/X|".
completes() {
    local line=$1 expected=$2 result="$work/result.$((++n))"
    tmux_ send-keys -t test -l "$line"
    tmux_ send-keys -t test Tab
    tmux_ send-keys -t test -l X
    tmux_ send-keys -t test C-e
    tmux_ send-keys -t test -l " >$result"
    tmux_ send-keys -t test C-a
    tmux_ send-keys -t test -l "printf '%s|' "
    tmux_ send-keys -t test Enter
    local i
    for ((i = 0; i < 200; i++)); do
        [ -s "$result" ] && break
        sleep 0.1
    done
    local got
    got=$(cat "$result" 2>/dev/null)
    [ "$got" = "$expected" ] || fail "'$line' Tab: got '$got', expected '$expected'"
    clear_line
}

# lists LINE OPTION TEXT...: types LINE and Tab twice, and expects each OPTION shown with its
# TEXT beside it (after blanks, "--" or "(", as each shell lays a list out).
lists() {
    local line=$1 i
    shift
    tmux_ send-keys -t test -l "$line"
    tmux_ send-keys -t test Tab
    tmux_ send-keys -t test Tab
    while [ $# -ge 2 ]; do
        local option=$1 text=$2 pattern
        shift 2
        pattern="(^| )$(quote_ere "$option")[ (-]+$(quote_ere "$text")"
        for ((i = 0; i < 200; i++)); do
            tmux_ capture-pane -p -t test | grep -qE -- "$pattern" && break
            sleep 0.1
        done
        [ "$i" -lt 200 ] || fail "'$line' Tab Tab does not show '$option' with '$text'"
    done
    # KESTROM_SHOW_SCREEN=1 prints the screen, to see the list as a user does.
    [ "${KESTROM_SHOW_SCREEN:-0}" = 1 ] && tmux_ capture-pane -p -t test | grep -v '^$'
    clear_line
}

quote_ere() { printf '%s' "$1" | sed 's/[][().*+?^$|{}\\/]/\\&/g'; }

for shell in "${shells[@]}"; do
    start_shell || continue
    # Every option with its meaning in full.
    lists "kestrom -" -f "pattern file, -fFILE (alone: standard input)" \
        -l "link mode for sets on/off (use with care)" -h "help screen (-hh: the version line)" \
        -p "delimited pattern, -p/search/replacement/" -- "later arguments are file names" \
        -N "count what is found but replace nothing, on/off"
    completes "kestrom -fsr" "kestrom|-fsrc/X|"            # a directory: its '/', no blank
    completes "kestrom -fsrc/r" "kestrom|-fsrc/renames.pat|X|"  # and on into it
    completes "kestrom -f" "kestrom|-fX|"                 # no blank after -f
    completes "kestrom -vfsr" "kestrom|-vfsrc/X|"          # -f grouped after a toggle
    completes "kestrom @sr" "kestrom|@src/X|"
    completes "kestrom -eold no" "kestrom|-eold|noX|"       # a replacement: nothing offered
    completes "kestrom -itT no" "kestrom|-itT|noX|"
    completes "kestrom -eold new no" "kestrom|-eold|new|notes.txt|X|"  # a file name
    completes "kestrom -ex=y no" "kestrom|-ex=y|noX|"        # '=' does not split a word
    completes "kestrom -ea -eb no" "kestrom|-ea|-eb|notes.txt|X|"  # -eb is the replacement: a file
    completes "kestrom -- -fsr" "kestrom|--|-fsrX|"        # after --, file names only
    completes "kestrom -pX no" "kestrom|-pX|notes.txt|X|"  # -p takes no replacement after it
    tmux_ kill-session -t test 2>/dev/null
done

[ "$fails" = 0 ] || exit 1
echo "completion: ${shells[*]}: all cases passed"
