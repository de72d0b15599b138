# fish completion for kestrom: option letters with their meanings, a pattern file or an argument
# file glued to its -f or @, nothing for the replacement after -e or -t, file names elsewhere.

set -g __kestrom_options \
    -e\t"pair: search here, replacement as the next argument" \
    -p\t"delimited pattern, -p/search/replacement/" \
    -f\t"pattern file, -fFILE (alone: standard input)" \
    -d\t"template variable, -dXtext" \
    -t\t"template pair: template here, replacement as the next argument" \
    -c\t"results to standard output" \
    -o\t"results back into the files (the default)" \
    -i\t"ignore case on/off" \
    -n\t"literal search strings on/off" \
    -m\t"literal replacements on/off" \
    -l\t"link mode for sets on/off (use with care)" \
    -r\t"swap search and replacement on/off" \
    -N\t"count what is found but replace nothing, on/off" \
    -a\t"ask before each replacement on/off" \
    -b\t"line mode on/off" \
    -0\t"line mode: input records end in a NUL byte" \
    -z\t"line mode: output records end in a NUL byte" \
    -s\t"silent on/off" \
    -v\t"verbose on/off" \
    -h\t"help screen (-hh: the version line)" \
    -g\t"grammar of patterns" \
    --\t"later arguments are file names"

# File names glued to a prefix (-f, -vf, @); a directory ends in '/', so no blank follows it.
function __kestrom_glued -a prefix name
    for path in (__fish_complete_path $name)
        printf '%s%s\n' $prefix $path
    end
end

function __kestrom_complete
    set -l cur (commandline -ct)
    # Which of the earlier words leave the current one a replacement or a file name only.
    set -l replacement 0
    set -l files_only 0
    for word in (commandline -opc)[2..-1]
        if test $replacement = 1
            set replacement 0
        else if test $files_only = 1
            continue
        else if test "x$word" = x--
            set files_only 1
        else if string match -qr -- '^-[^eptdf]*[et]' $word
            set replacement 1
        end
    end
    test $replacement = 1; and return

    if test $files_only = 0
        if string match -q -- '@*' $cur
            __kestrom_glued @ (string sub -s 2 -- $cur)
            return
        end
        # A letter that takes the rest of the word: a file name after f, nothing else.
        set -l head (string match -r -- '^-[^eptdf]*[eptdf]' $cur)
        if test -n "$head"
            if string match -q -- '*f' $head
                __kestrom_glued $head (string sub -s (math (string length -- $head) + 1) -- $cur)
            end
            return
        end
        if string match -q -- '-*' $cur
            printf '%s\n' $__kestrom_options
            return
        end
    end
    __fish_complete_path $cur
end

complete -c kestrom -f -a '(__kestrom_complete)'
