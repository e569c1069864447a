#!/usr/bin/env bash
# Figures for `quayline-cli free 3000 --count 10`: wall time of the whole
# process on this machine as it is, and with 50,000 UDP sockets of another
# user (nobody) open, which the kernel's table has to list. Builds nothing.
# Run as root (to open the sockets as nobody).
#
# Usage: bench/free_figures.sh CLI [SOCKETS] [RUNS]
set -euo pipefail

cli=$(realpath "$1")
sockets=${2:-50000}
runs=${3:-21}

# Prints the median wall time in ms of runs of the command.
median() {
    python3 - "$runs" "$@" <<'PY'
import statistics, subprocess, sys, time
runs, command = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    times.append((time.perf_counter() - start) * 1000)
print(f"{statistics.median(times):.1f} ms (min {min(times):.1f}, max {max(times):.1f})")
PY
}

echo "quayline-cli free 3000 --count 10, median of $runs runs, $(nproc) CPUs," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "  quiet machine: $(median "$cli" free 3000 --count 10)"

# The holder's children open the sockets, up to 15,000 each (the open-files
# limit may be 20,000), on two loopback addresses (each has its own ephemeral
# ports); the holder says how many they hold and ends them when its input
# closes, as they end when it does.
coproc HOLDER {
    exec setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 -c '
import os, socket, sys
wanted, per, children = int(sys.argv[1]), 15000, []
counts_r, counts_w = os.pipe()
stay_r, stay_w = os.pipe()
for first in range(0, wanted, per):
    pid = os.fork()
    if pid == 0:
        os.close(stay_w)
        held = []
        for i in range(first, min(first + per, wanted)):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.%d" % (1 + i % 2), 0))
            held.append(s)
        os.write(counts_w, b"%d\n" % len(held))
        os.read(stay_r, 1)
        os._exit(0)
    children.append(pid)
counts = os.fdopen(counts_r)
print(sum(int(counts.readline()) for _ in children), flush=True)
sys.stdin.read()
os.close(stay_w)
for pid in children:
    os.waitpid(pid, 0)
' "$sockets"
}
read -r held <&"${HOLDER[0]}"
echo "  with $held UDP sockets of nobody: $(median "$cli" free 3000 --count 10)"
exec {HOLDER[1]}>&-
wait "$HOLDER_PID"
