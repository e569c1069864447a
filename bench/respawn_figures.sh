#!/usr/bin/env bash
# Time from `quayline-cli stop PORT` to its report, for a listener that a
# shell loop starts again (the respawn report), one that a shell started once
# (the watch runs out), the same with --watch 0 (one look, as before the
# watch existed), and one whose shell ends with it (the watch ends with it). The stand-in lsof lists only the children of this script's
# own shells, so nothing else on the machine is ever signalled; the kernel's
# socket table is read as usual. Builds nothing.
#
# Usage: bench/respawn_figures.sh CLI [RUNS]
set -euo pipefail

cli=$(realpath "$1")
runs=${2:-5}
work=$(mktemp -d)
shells=()
cleanup() {
    touch "$work/end"
    # Only the shells this script started, by the pids it got; their
    # listeners end once their shell is gone.
    for pid in "${shells[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A port free for TCP and UDP alike.
free_port() {
    python3 -c 'import socket
while True:
    t = socket.socket(); t.bind(("127.0.0.1", 0)); p = t.getsockname()[1]
    u = socket.socket(type=socket.SOCK_DGRAM)
    try:
        u.bind(("127.0.0.1", p)); print(p); break
    except OSError: pass'
}

listener='exec /usr/bin/perl -MIO::Socket::INET -e '\''my $s = IO::Socket::INET->new(Listen => 5,
    LocalAddr => "127.0.0.1", LocalPort => $ARGV[0], ReuseAddr => 1) or die $!;
    my $p = getppid(); select(undef, undef, undef, 0.1) while getppid() == $p'\'' "$0"'

# Starts a shell keeping a listener on port ($1 loop|once|exits: the shell
# restarts it, stays after it, or ends with it); prints its pid.
start_shell() {
    local mode=$1 port=$2
    if [ "$mode" = loop ]; then
        sh -c "while [ ! -e '$work/end' ]; do ( $listener ); done" "$port" </dev/null >/dev/null 2>&1 &
    elif [ "$mode" = exits ]; then
        sh -c "( $listener ); exit 0" "$port" </dev/null >/dev/null 2>&1 &
    else
        sh -c "( $listener ); exec sleep 600" "$port" </dev/null >/dev/null 2>&1 &
    fi
    echo $!
}

# The stand-in lsof: the shell's children (and grandchildren) that hold a socket.
write_lsof() { # shell pid, port
    cat >"$work/lsof" <<STUB
#!/bin/sh
case "\$*" in *-iTCP*) ;; *) exit 0 ;; esac
kids=\$(cat /proc/$1/task/$1/children 2>/dev/null)
for k in \$kids \$(for k in \$kids; do cat /proc/\$k/task/\$k/children 2>/dev/null; done); do
    ls -l /proc/\$k/fd 2>/dev/null | grep -q socket: || continue
    read comm </proc/\$k/comm || continue
    printf 'p%s\nc%s\nL%s\nf3\ntIPv4\nPTCP\nn127.0.0.1:%s\nTST=LISTEN\n' "\$k" "\$comm" "$(id -un)" "$2"
done
STUB
    chmod +x "$work/lsof"
}

now_ms() { date +%s%3N; }

measure() { # label, mode, extra options...
    local label=$1 mode=$2
    shift 2
    local times=() status=0
    for _ in $(seq "$runs"); do
        local port shell
        port=$(free_port)
        shell=$(start_shell "$mode" "$port")
        shells+=("$shell")
        write_lsof "$shell" "$port"
        for _ in $(seq 100); do "$work/lsof" -iTCP | grep -q '^p' && break; sleep 0.05; done
        local start end
        start=$(now_ms)
        status=0
        "$cli" stop --lsof "$work/lsof" "$@" "$port" >"$work/out" 2>"$work/err" || status=$?
        end=$(now_ms)
        times+=($((end - start)))
        kill "$shell" 2>/dev/null || true
    done
    printf '  %-34s median %5d ms  (runs: %s; last exit %d)\n' "$label" \
        "$(printf '%s\n' "${times[@]}" | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2)')" \
        "${times[*]}" "$status"
    sed 's/^/      /' "$work/err" | head -n 2
}

echo "quayline-cli stop, $runs runs each, $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
measure "shell loop restarts it" loop
measure "shell started it once" once
measure "shell started it once, --watch 0" once --watch 0
measure "shell ends with it" exits
