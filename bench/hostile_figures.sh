#!/usr/bin/env bash
# Figures for listings that other users shape, end to end through quayline-cli:
#  1. sockets whose cgroups were removed since they were made, among many
#     cgroup folders, listed by an ordinary user (who sees them only through
#     the kernel's table): wall time of `quayline-cli`;
#  2. a container engine that answers with a huge container name: output size
#     and peak RSS of the table, --wide and --json.
# Run as root on a machine with cgroup2 mounted; makes an ordinary user
# (quayline-figures) to list as, and removes every cgroup and socket it made.
#
# Usage: bench/hostile_figures.sh CLI [OLD_CLI] [FOLDERS] [SOCKETS] [NAME_MIB]
#   CLI       the quayline-cli to measure; OLD_CLI another one to compare with
#   FOLDERS   cgroup folders beside the sockets' (default 2000)
#   SOCKETS   listeners whose cgroups are removed (default 400)
#   NAME_MIB  the container name's size in MiB (default 15)
set -euo pipefail

cli=$(realpath "$1")
old=${2:+$(realpath "$2")}
folders=${3:-2000}
sockets=${4:-400}
name_mib=${5:-15}
[ "$(id -u)" = 0 ] || { echo "run as root: it makes cgroups and a user" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
cgroot=$(awk '$9 == "cgroup2" { print $5; exit }' /proc/self/mountinfo)
[ -n "$cgroot" ] || { echo "cgroup2 is not mounted" >&2; exit 2; }
id quayline-figures >/dev/null 2>&1 || useradd --system --no-create-home quayline-figures

work=$(mktemp -d)
chmod 755 "$work"
tree="$cgroot/quayline-figures.$$"
holder=""
engine=""
cleanup() {
    set +e
    # Only the children this script started, by the pids it got.
    [ -n "$holder" ] && kill "$holder" 2>/dev/null && wait "$holder" 2>/dev/null
    [ -n "$engine" ] && kill "$engine" 2>/dev/null && wait "$engine" 2>/dev/null
    [ -d "$tree" ] && find "$tree" -depth -type d -exec rmdir {} + 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

echo "$(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Until the listeners' maker says they are ready, or has failed.
await_ready() {
    while [ ! -e "$work/ready" ]; do
        kill -0 "$holder" 2>/dev/null || { echo "could not make the listeners" >&2; exit 1; }
        sleep 0.1
    done
}

# 1. The folders, then one listener per cgroup made for it and removed at once:
# the socket keeps the id of a cgroup that no longer exists.
mkdir "$tree"
for i in $(seq "$folders"); do mkdir "$tree/f$i"; done
python3 - "$tree" "$sockets" "$work/ready" <<'PY' &
import os, signal, socket, sys
tree, count, ready = sys.argv[1], int(sys.argv[2]), sys.argv[3]
held = []
for i in range(count):
    ghost = f"{tree}/ghost{i}"
    os.mkdir(ghost)
    with open(f"{ghost}/cgroup.procs", "w") as f:
        f.write(str(os.getpid()))
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen()
    held.append(s)
    with open(f"{tree}/cgroup.procs", "w") as f:
        f.write(str(os.getpid()))
    os.rmdir(ghost)
open(ready, "w").close()
signal.pause()
PY
holder=$!
await_ready

# Median wall time of three runs as the ordinary user, from a copy that user
# may run.
wall() {
    install -m 755 "$1" "$work/cli"
    for _ in 1 2 3; do
        local start end
        start=$(date +%s.%N)
        runuser -u quayline-figures -- "$work/cli" >/dev/null 2>&1
        end=$(date +%s.%N)
        echo "$end - $start" | bc
    done | sort -n | sed -n 2p
}
echo "$folders cgroup folders, $sockets listeners of root whose cgroups were removed,"
echo "quayline-cli as an ordinary user, median of 3 runs:"
echo "  this build:  $(wall "$cli") s"
[ -n "$old" ] && echo "  other build: $(wall "$old") s"
kill "$holder" && wait "$holder" 2>/dev/null || true
holder=""

# 2. A stand-in engine on a socket of its own, found through DOCKER_HOST, that
# names the container of one of the rows (by a port it publishes) hugely.
python3 - "$work/engine.sock" "$name_mib" >/dev/null 2>&1 <<'PY' &
import json, os, socket, sys
path, mib = sys.argv[1], int(sys.argv[2])
name = "/" + "n" * (mib * 1024 * 1024 - 1024)
body = json.dumps([{"Id": "a" * 64, "Names": [name], "Image": "web:1", "State": "running",
                    "Ports": [{"IP": "0.0.0.0", "PrivatePort": 80, "PublicPort": p,
                               "Type": "tcp"} for p in range(40000, 40010)]}]).encode()
server = socket.socket(socket.AF_UNIX)
server.bind(path)
os.chmod(path, 0o666)
server.listen()
while True:
    conn, _ = server.accept()
    with conn:
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = conn.recv(65536)
            if not chunk:
                break
            request += chunk
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                     + str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)
PY
engine=$!
while [ ! -S "$work/engine.sock" ]; do
    kill -0 "$engine" 2>/dev/null || { echo "could not start the stand-in engine" >&2; exit 1; }
    sleep 0.1
done
# Ten listeners on the published ports, held by a process of root named
# docker-proxy in a cgroup named as the engine's unit, so that the rows are
# tied to the container also where the viewer cannot see the process.
rm -f "$work/ready"
mkdir "$tree/docker.service"
python3 - "$work/ready" "$tree/docker.service" <<'PY' &
import ctypes, os, signal, socket, sys
with open(sys.argv[2] + "/cgroup.procs", "w") as f:
    f.write(str(os.getpid()))
ctypes.CDLL(None).prctl(15, b"docker-proxy", 0, 0, 0)  # PR_SET_NAME
held = []
for p in range(40000, 40010):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", p))
    s.listen()
    held.append(s)
open(sys.argv[1], "w").close()
signal.pause()
PY
holder=$!
await_ready

# "bytes of output, peak RSS MB" for one way of listing, as the ordinary
# user, who sees the rows only through the kernel's table and so names each
# by its container.
size() {
    install -m 755 "$1" "$work/cli"
    shift
    install -m 666 /dev/null "$work/rss"
    runuser -u quayline-figures -- env DOCKER_HOST="unix://$work/engine.sock" \
        /usr/bin/time -q -f '%M' -o "$work/rss" "$work/cli" "$@" 2>/dev/null |
        wc -c | tr -d '\n' || true
    awk '{ printf " bytes, %.0f MB peak RSS", $1 / 1024 }' "$work/rss"
}
echo "A container named with $name_mib MiB on 10 rows of root's, listed by an ordinary user:"
for how in "" --wide --json; do
    echo "  quayline-cli $how: $(size "$cli" $how)"
    [ -n "$old" ] && echo "    other build: $(size "$old" $how)"
done
