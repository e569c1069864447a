# bash completion for quayline-cli

# The ports something listens on now, as quayline-cli's table lists them.
_quayline_cli_ports() {
    "$1" 2>/dev/null | awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $1 }' | sort -nu
}

_quayline_cli() {
    local cur prev words cword
    _init_completion || return

    local stop=false watch=false
    [[ $cword -gt 1 && ${words[1]} == stop ]] && stop=true
    [[ $cword -gt 1 && ${words[1]} == watch ]] && watch=true

    case $prev in
        --lsof)
            _filedir
            return
            ;;
        --timeout | --watch)
            # A number of seconds: nothing to offer.
            return
            ;;
    esac

    # After "--" everything is an argument.
    local i
    for ((i = 1; i < cword; i++)); do
        [[ ${words[i]} == -- ]] && return
    done

    if [[ $cur == -* ]]; then
        if $stop; then
            COMPREPLY=($(compgen -W '--force --timeout --watch --service --container --lsof --help' -- "$cur"))
        elif $watch; then
            COMPREPLY=($(compgen -W '--json --lsof --help' -- "$cur"))
        else
            COMPREPLY=($(compgen -W '--json --wide --lsof --help --version' -- "$cur"))
        fi
        return
    fi

    if $stop; then
        COMPREPLY=($(compgen -W "$(_quayline_cli_ports "${words[0]}")" -- "$cur"))
    elif [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W 'stop watch' -- "$cur"))
    fi
} &&
    complete -F _quayline_cli quayline-cli

# ex: filetype=sh
