# fish completion for quayline-cli

# The ports something listens on now, as quayline-cli's table lists them.
function __quayline_cli_ports
    quayline-cli 2>/dev/null | awk 'NR > 1 && $1 ~ /^[0-9]+$/ { print $1 }' | sort -nu
end

function __quayline_cli_stop
    set -l words (commandline -opc)
    test (count $words) -gt 1; and test "$words[2]" = stop
end

function __quayline_cli_watch
    set -l words (commandline -opc)
    test (count $words) -gt 1; and test "$words[2]" = watch
end

function __quayline_cli_free
    set -l words (commandline -opc)
    test (count $words) -gt 1; and test "$words[2]" = free
end

complete -c quayline-cli -f

# The listing
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free; and __fish_is_first_arg' -a stop -d 'Stop the processes behind ports'
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free; and __fish_is_first_arg' -a watch -d 'Print the ports that open or close from now on'
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free; and __fish_is_first_arg' -a free -d 'Print ports a new listener can take'
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free' -l json -d 'Print a JSON array instead of a table'
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free' -l wide -d 'Add a COMMAND column with the command line'
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free' -l lsof -r -F -d 'Run this lsof instead of the built-in path'
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free' -s h -l help -d 'Show the help'
complete -c quayline-cli -n 'not __quayline_cli_stop; and not __quayline_cli_watch; and not __quayline_cli_free' -l version -d 'Show the version'

# quayline-cli stop
complete -c quayline-cli -n __quayline_cli_stop -l force -d 'Send SIGKILL to those still running after the timeout'
complete -c quayline-cli -n __quayline_cli_stop -l timeout -x -d 'Seconds to wait after a signal'
complete -c quayline-cli -n __quayline_cli_stop -l watch -x -d 'Seconds to watch the ports for a process started again'
complete -c quayline-cli -n __quayline_cli_stop -l service -d 'Stop the systemd unit that keeps each port'
complete -c quayline-cli -n __quayline_cli_stop -l container -d 'Stop the container that keeps each port'
complete -c quayline-cli -n __quayline_cli_stop -l lsof -r -F -d 'Run this lsof instead of the built-in path'
complete -c quayline-cli -n __quayline_cli_stop -s h -l help -d 'Show the help'
complete -c quayline-cli -n __quayline_cli_stop -a '(__quayline_cli_ports)' -d 'Listening port'

# quayline-cli watch
complete -c quayline-cli -n __quayline_cli_watch -l json -d 'Print one JSON object per line'
complete -c quayline-cli -n __quayline_cli_watch -l lsof -r -F -d 'Run this lsof instead of the built-in path'
complete -c quayline-cli -n __quayline_cli_watch -s h -l help -d 'Show the help'

# quayline-cli free
complete -c quayline-cli -n __quayline_cli_free -l count -x -d 'How many free ports to print'
complete -c quayline-cli -n __quayline_cli_free -l tcp -d 'Free for TCP (the default)'
complete -c quayline-cli -n __quayline_cli_free -l udp -d 'Free for UDP'
complete -c quayline-cli -n __quayline_cli_free -l both -d 'Free for TCP and UDP alike'
complete -c quayline-cli -n __quayline_cli_free -l json -d 'Print every port looked at as JSON'
complete -c quayline-cli -n __quayline_cli_free -s h -l help -d 'Show the help'
