# Bash completion for tqr: its subcommands, each subcommand's options, file names where a file is
# expected, host names after --host.
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
        --plain --json --verbose '--count =' '--name =' @file ;;
    receive) printf '%s\n' -h --help -V --version '--conference =' '--key =' '--key-file =' '--host =' \
        '--nickname =' --plain --json --verbose '-o =' '--output =' -f --force '--timeout =' ;;
    demo) printf '%s\n' -h --help -V --version ;;
    esac
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
    esac

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
