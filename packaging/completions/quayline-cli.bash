# bash completion for quayline-cli

# The ports something listens on now, as quayline-cli's table lists them.
_quayline_cli_ports() {
    "$1" 2>/dev/null | awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $1 }' | sort -nu
}

_quayline_cli() {
    local cur prev words cword
    _init_completion || return

    local stop=false watch=false free=false
    [[ $cword -gt 1 && ${words[1]} == stop ]] && stop=true
    [[ $cword -gt 1 && ${words[1]} == watch ]] && watch=true
    [[ $cword -gt 1 && ${words[1]} == free ]] && free=true

    case $prev in
        --lsof)
            _filedir
            return
            ;;
        --timeout | --watch | --count)
            # A number: nothing to offer.
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
        elif $free; then
            COMPREPLY=($(compgen -W '--count --tcp --udp --both --json --help' -- "$cur"))
        else
            COMPREPLY=($(compgen -W '--json --wide --lsof --help --version' -- "$cur"))
        fi
        return
    fi

    if $stop; then
        COMPREPLY=($(compgen -W "$(_quayline_cli_ports "${words[0]}")" -- "$cur"))
    elif [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W 'stop watch free' -- "$cur"))
    fi
} &&
    complete -F _quayline_cli quayline-cli

# ex: filetype=sh
