# Bash completion of the arcsalve command, installed as
# share/bash-completion/completions/arcsalve (bash-completion loads it on
# first use; `source` it to try it by hand).
#
# The options are read from the command's own --help, so that the list never
# falls out of step with it: an option is each word starting with '-' at the
# start of a help line. -o/--output completes directories, --password-file
# any file, -p nothing, -j a few thread counts; an archive is a file ending
# in .zip (any case), or a directory on the way to one.
_arcsalve() {
    local IFS=$'\n'
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    # "--output=DIR": bash cuts the word at '=', which stands as a word of
    # its own between the option and its value.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi
    case $prev in
        -o | --output)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -d -- "$cur"))
            return ;;
        --password-file)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
        -p | --password)
            COMPREPLY=()
            return ;;
        -j | --jobs)
            COMPREPLY=($(compgen -W "1 2 4 8" -- "$cur"))
            return ;;
    esac
    if [[ $cur == -* ]]; then
        local options
        options=$("$1" --help 2>/dev/null |
            awk '/^ +-/ { for (i = 1; i <= NF && $i ~ /^-/; i++) { sub(/[,=].*/, "", $i); print $i } }')
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X '!*.[Zz][Ii][Pp]' -- "$cur"))
}
complete -F _arcsalve arcsalve
