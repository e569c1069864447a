#!/usr/bin/env bash
# Figures for quayline-cli over a synthetic scan: wall time and peak RSS of the
# whole process for the table and --json, against Python's json.dumps of the
# same records, and `stop` over all 65,535 ports. Builds nothing.
#
# Usage: bench/cli_figures.sh CLI BENCH [OLD_CLI] [SOCKETS] [RUNS]
#   CLI      the quayline-cli to measure (a Release build)
#   BENCH    the bench program, whose "write-scan" writes the synthetic lsof output
#   OLD_CLI  another quayline-cli to compare with (e.g. a build of an older commit)
#   SOCKETS  sockets in the synthetic scan (default 100000); RUNS per figure (default 5)
set -euo pipefail

cli=$(realpath "$1")
bench=$(realpath "$2")
old=${3:+$(realpath "$3")}
sockets=${4:-100000}
runs=${5:-5}
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" write-scan "$work" "$sockets"
# A stand-in lsof that prints the synthetic output; the -iTCP run gets the TCP part.
cat >"$work/lsof" <<STUB
#!/bin/sh
case "\$*" in *-iTCP*) exec cat "$work/tcp.out" ;; *) exec cat "$work/udp.out" ;; esac
STUB
chmod +x "$work/lsof"

echo "quayline-cli over $sockets synthetic sockets ($(du -b "$work/tcp.out" "$work/udp.out" |
    awk '{s += $1} END {printf "%.1f MB", s / 1e6}') of lsof output), median of $runs runs,"
echo "$(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Prints "wall s, user+sys CPU s, peak RSS MB" of the median run (by wall time).
measure() {
    local out=$1; shift
    for _ in $(seq "$runs"); do
        /usr/bin/time -q -f '%e %U %S %M' -o "$work/time" "$@" >"$out" 2>/dev/null || true
        cat "$work/time"
    done | sort -n | awk -v n="$runs" 'NR == int((n + 1) / 2) {
        printf "%6.3f s wall  %6.3f s CPU  %6.1f MB peak RSS\n", $1, $2 + $3, $4 / 1024 }'
}

for mode in table json; do
    flag=; [ "$mode" = json ] && flag=--json
    for which in old new; do
        binary=$cli; [ "$which" = old ] && binary=$old
        [ -n "$binary" ] || continue
        printf '  %-5s %-4s ' "$mode" "$which"
        measure "$work/$which.$mode" "$binary" --lsof "$work/lsof" $flag
    done
done

if [ -n "$old" ]; then
    if cmp -s "$work/old.table" "$work/new.table"; then
        echo "  table: old and new output identical ($(wc -l <"$work/new.table") lines)"
    else
        echo "  table: old and new output DIFFER"
    fi
    python3 - "$work/old.json" "$work/new.json" <<'PY'
import json, sys
old, new = (json.load(open(p)) for p in sys.argv[1:3])
same = len(old) == len(new) and all({k: n[k] for k in o} == o for o, n in zip(old, new))
added = sorted(set(new[0]) - set(old[0])) if new and old else []
print(f"  json: {'same records' if same else 'records DIFFER'} apart from the added keys {added}")
PY
fi

# Python's json.dumps of the same records, as a yardstick (time of the dumps alone).
python3 - "$work/new.json" "$runs" <<'PY'
import json, statistics, sys, time
records = json.load(open(sys.argv[1]))
def best(f):
    times = []
    for _ in range(int(sys.argv[2])):
        t = time.perf_counter(); f(); times.append(time.perf_counter() - t)
    return statistics.median(times)
print(f"  python3 json.dumps of the {len(records)} records: "
      f"indent=4 {best(lambda: json.dumps(records, indent=4)):.3f} s, "
      f"compact {best(lambda: json.dumps(records)):.3f} s")
PY

# stop over every port. The listing's owner is rewritten to a user that does
# not exist, so every process is refused before any signal; and it runs in a
# private pid namespace, where none of the listed pids exists at all.
if unshare --fork --pid --mount-proc true 2>/dev/null; then
    sed 's/^L.*/Lquayline-bench-nobody/' "$work/tcp.out" >"$work/tcp.stop"
    sed 's/^L.*/Lquayline-bench-nobody/' "$work/udp.out" >"$work/udp.stop"
    sed -i 's/tcp\.out/tcp.stop/; s/udp\.out/udp.stop/' "$work/lsof"
    for which in old new; do
        binary=$cli; [ "$which" = old ] && binary=$old
        [ -n "$binary" ] || continue
        printf '  stop, all 65535 ports, %-3s ' "$which"
        runs=1 measure "$work/stop.$which" unshare --fork --pid --mount-proc \
            timeout 300 "$binary" stop --timeout 0 --lsof "$work/lsof" $(seq 1 65535)
    done
else
    echo "  stop: skipped, a private pid namespace is not permitted here"
fi
