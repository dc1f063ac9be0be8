# Bash completion for tqr: its subcommands, each subcommand's options, file names where a file is
# expected, host names after --host, and the words of a code (receive's code, send's --code) from the
# list that `tqr __words` prints.
#
# The options are read from `tqr SUBCOMMAND --help` of the very tqr being completed, so that they
# follow the tool as it changes; the lists below serve only when that gives nothing.

# Prints the options of `$1 $2 --help`, one a line, with " =" after those that take a value, and
# "@file" when a positional argument is a file.
_tqr_read_help() {
    timeout 2 "$1" "$2" --help 2>/dev/null | awk '
        /^(Options|Positionals):/ { section = $1; next }
        /^$/ || /^[^ ]/ { section = "" }
        section == "Options:" && /^ +-/ {
            valued = ($2 ~ /^[A-Z]+([:=].*)?$/)
            n = split($1, names, ",")
            for (i = 1; i <= n; i++) print names[i] (valued ? " =" : "")
        }
        section == "Positionals:" && tolower($1) ~ /file/ { print "@file" }'
}

_tqr_fallback() {
    case $1 in
    coordinator) printf '%s\n' -h --help -V --version '--log =' --quiet --verbose '--metrics =' ;;
    send) printf '%s\n' -h --help -V --version '--conference =' '--key =' '--key-file =' '--host =' '--nickname =' \
        --plain --json --verbose --verify '--count =' '--name =' '--code =' '--words =' '--text =' @file ;;
    receive) printf '%s\n' -h --help -V --version '--conference =' '--key =' '--key-file =' '--host =' \
        '--nickname =' --plain --json --verbose --verify '-o =' '--output =' -f --force '--timeout =' ;;
    demo) printf '%s\n' -h --help -V --version ;;
    esac
}

# Completes the word being typed in a code: "7-gui" (the nameplate and the words so far joined by
# hyphens) or, when an earlier argument began the code, "gui" alone.
_tqr_code_words() {
    local cur=$1 before=""
    if [[ $cur =~ ^[0-9]+(-[A-Za-z]*)+$ ]]; then
        before=${cur%-*}-
        cur=${cur##*-}
    elif [[ ! $cur =~ ^[A-Za-z]+$ ]]; then
        return 1
    fi
    local words
    words=$(timeout 2 "${COMP_WORDS[0]}" __words 2>/dev/null) || return 1
    mapfile -t COMPREPLY < <(compgen -P "$before" -W "$words" -- "${cur,,}")
    # Another word follows unless the code is complete; a hyphen may be typed in place of the blank.
    [[ ${#COMPREPLY[@]} -gt 0 ]]
}

_tqr_files() {
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$1")
}

_tqr() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} subcommand="" i
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        coordinator | send | receive | demo) subcommand=${COMP_WORDS[i]} && break ;;
        esac
    done
    if [[ -z $subcommand ]]; then
        mapfile -t COMPREPLY < <(compgen -W "coordinator send receive demo --help --version" -- "$cur")
        return
    fi
    case $prev in
    --key-file | --output | -o | --log) _tqr_files "$cur" && return ;;
    --host) mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur") && return ;;
    --code) _tqr_code_words "$cur"; return ;;
    esac
    # A code on receive's command line: its first part is the nameplate, in the same word or before.
    if [[ $subcommand == receive && $cur != -* ]]; then
        if [[ $cur =~ ^[0-9]+- ]] || { [[ $prev =~ ^[0-9]+(-[a-zA-Z]+)*$ || $prev =~ ^[a-zA-Z]+$ ]] &&
            [[ ${COMP_WORDS[*]:1:COMP_CWORD-1} =~ (^| )[0-9]+([- ]|$) ]]; }; then
            _tqr_code_words "$cur"
            return
        fi
    fi

    local known
    known=$(_tqr_read_help "${COMP_WORDS[0]}" "$subcommand")
    [[ -n $known ]] || known=$(_tqr_fallback "$subcommand")
    # After an option that takes a value no file list is offered: that value is the user's to type.
    if [[ $prev == -* ]] && grep -qxF -- "$prev =" <<<"$known"; then
        return
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(sed -n 's/^\(-[^ ]*\).*/\1/p' <<<"$known")" -- "$cur")
    elif grep -qxF @file <<<"$known"; then
        _tqr_files "$cur"
    fi
}

complete -F _tqr tqr
