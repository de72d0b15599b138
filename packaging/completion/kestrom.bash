# bash completion for kestrom: option letters with their meanings, a pattern file or an argument
# file glued to its -f or @, nothing for the replacement after -e or -t, file names elsewhere.

# The option letters and what they do, one a line.
_kestrom_options=(
    "-e   pair: search here, replacement as the next argument"
    "-p   delimited pattern, -p/search/replacement/"
    "-f   pattern file, -fFILE (alone: standard input)"
    "-d   template variable, -dXtext"
    "-t   template pair: template here, replacement as the next argument"
    "-c   results to standard output"
    "-o   results back into the files (the default)"
    "-i   ignore case on/off"
    "-n   literal search strings on/off"
    "-m   literal replacements on/off"
    "-l   link mode for sets on/off (use with care)"
    "-r   swap search and replacement on/off"
    "-N   count what is found but replace nothing, on/off"
    "-a   ask before each replacement on/off"
    "-b   line mode on/off"
    "-0   line mode: input records end in a NUL byte"
    "-z   line mode: output records end in a NUL byte"
    "-s   silent on/off"
    "-v   verbose on/off"
    "-h   help screen (-hh: the version line)"
    "-g   grammar of patterns"
    "--   later arguments are file names"
)

# Completes a file name glued to a prefix (-f, -vf, @): a directory gets its '/' and no blank, so
# that completion goes on into it.
_kestrom_glued() {
    local prefix=$1 name=$2 path
    local IFS=$'\n'
    COMPREPLY=()
    for path in $(compgen -f -- "$name"); do
        [[ -d $path ]] && path+=/
        COMPREPLY+=("$prefix$path")
    done
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]] && compopt -o nospace
}

# Without bash-completion: the words up to the cursor as kestrom will see them, joining what bash
# split at '=' or ':' (-ex=y is one word). Sets words, cword and cur.
_kestrom_words() {
    local line=${COMP_LINE:0:COMP_POINT} i word rest gap pos=0
    words=()
    for ((i = 0; i <= COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        rest=${line:pos}
        gap=${rest%%[![:space:]]*}
        if ((i > 0 && ${#gap} == 0)); then
            words[${#words[@]} - 1]+=$word
        else
            words+=("$word")
        fi
        pos=$((pos + ${#gap} + ${#word}))
    done
    cword=$((${#words[@]} - 1))
    cur=${words[cword]}
}

_kestrom() {
    local cur words cword
    if declare -F _init_completion >/dev/null; then
        local prev split
        _init_completion -n =: || return
    else
        _kestrom_words
    fi
    COMPREPLY=()

    # Which of the earlier words leave the current one a replacement or a file name only.
    local i word toggles replacement=0 files_only=0
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        if ((replacement)); then
            replacement=0
        elif ((files_only)); then
            :
        elif [[ $word == -- ]]; then
            files_only=1
        elif [[ $word == -?* ]]; then
            # Letters toggle until one that takes the rest of the word as its text.
            word=${word#-}
            toggles=${word%%[eptdf]*}
            [[ ${word:${#toggles}:1} == [et] ]] && replacement=1
        fi
    done
    ((replacement)) && return

    if ((!files_only)); then
        case $cur in
        @*)
            _kestrom_glued @ "${cur#@}"
            return
            ;;
        -*)
            local letters=${cur#-}
            toggles=${letters%%[eptdf]*}
            if [[ $toggles != "$letters" ]]; then
                # A letter that takes the rest of the word: a file name after f, nothing else.
                [[ ${letters:${#toggles}:1} == f ]] &&
                    _kestrom_glued "-${toggles}f" "${letters:${#toggles}+1}"
                return
            fi
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "${_kestrom_options[*]}" -- "$cur"))
            # One left: insert the letter alone, not its meaning.
            [[ ${#COMPREPLY[@]} -eq 1 ]] && COMPREPLY=("${COMPREPLY[0]%% *}")
            return
            ;;
        esac
    fi
    compopt -o filenames
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _kestrom kestrom
