#!/usr/bin/env bash
# Prints the tray program's figures on a virtual X server with trayer as the
# tray host:
#   - time from launch to the tray icon;
#   - resident memory with the panel shown, after 3 s idle;
#   - the cost of one refresh with the panel open: the program's own CPU per
#     refresh against that of its lsof runs (auto-refresh at 5 s);
#   - CPU per minute while idle with the panel closed after one opening and
#     auto-refresh at 5 s, the program and its lsof runs apart.
# With --busy, 200 processes holding 1,000 open files each run meanwhile
# (started here and ended here, by their own pids), as on a busy machine.
# Uses a throwaway HOME, so the user's settings are not touched.
#
#   bench/tray_figures.sh [--busy] [path/to/quayline] [seconds per window, 60]
#
# Compare two builds by running it once for each program.
set -euo pipefail
busy=0
if [ "${1:-}" = "--busy" ]; then
    busy=1
    shift
fi
program=$(realpath "${1:-build/quayline}")
window=${2:-60}
interval=5
for tool in Xvfb trayer xdotool /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "needs $tool (tools/install-deps.sh test, then bench)" >&2; exit 2; }
done

scratch=$(mktemp -d)
pids=()
cleanup() {
    # Only the processes started here, by the pids they got.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

if [ "$busy" = 1 ]; then
    # Each holder opens one file of its own 1,000 times and waits for SIGTERM.
    ulimit -n 4096
    for i in $(seq 200); do
        : >"$scratch/held-$i"
        # Debian's own interpreter, started directly, so that $! is the holder itself.
        /usr/bin/python3 -c '
import signal, sys
held = [open(sys.argv[1]) for _ in range(1000)]
print("ready", flush=True)
signal.sigwait([signal.SIGTERM])
' "$scratch/held-$i" >"$scratch/ready-$i" &
        pids+=($!)
    done
    for i in $(seq 200); do
        until [ -s "$scratch/ready-$i" ]; do sleep 0.05; done
    done
    echo "busy machine: 200 processes holding 1,000 open files each"
fi

exec 3>"$scratch/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$scratch/display")"
export HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/run"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/no-bus" NO_AT_BRIDGE=1
unset QT_QPA_PLATFORM WAYLAND_DISPLAY XDG_SESSION_TYPE
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/Quayline"
printf '[General]\nautoRefreshEnabled=true\nrefreshInterval=%s\n' "$interval" \
    >"$XDG_CONFIG_HOME/Quayline/Quayline.conf"

trayer --edge top --align right --widthtype request --height 24 --SetDockType false >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdotool search --name '^panel$' >/dev/null 2>&1 && break; sleep 0.1; done

icon_window() {
    for w in $(xdotool search --onlyvisible --classname '^quayline$' 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$w")"
        if [ "$WIDTH" -le 64 ]; then echo "$X $Y $WIDTH $HEIGHT"; return 0; fi
    done
    return 1
}
panel_shown() {
    local geometries
    geometries=$(xdotool search --onlyvisible --classname '^quayline$' getwindowgeometry %@ 2>/dev/null)
    [[ $geometries == *"Geometry: 380x460"* ]]
}

start=$(date +%s%N)
"$program" >/dev/null 2>&1 &
app=$!
pids+=($app)
until geometry=$(icon_window); do
    [ $(( ($(date +%s%N) - start) / 1000000 )) -lt 30000 ] || { echo "no tray icon" >&2; exit 1; }
done
echo "launch to tray icon: $(( ($(date +%s%N) - start) / 1000000 )) ms (polled with xdotool)"

read -r x y w h <<<"$geometry"
xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
until panel_shown; do sleep 0.05; done
sleep 3
echo "resident memory, panel shown, 3 s idle: $(awk '/VmRSS/ {print $2, $3}' /proc/$app/status)"

ticks=$(getconf CLK_TCK)
# CPU time in ms so far: the program's own, and that of its reaped children (the lsof runs).
cpu() { awk -v t="$ticks" '{printf "%d %d\n", ($14 + $15) * 1000 / t, ($16 + $17) * 1000 / t}' "/proc/$app/stat"; }

# Panel open: the timer refreshes every $interval s, each refresh one pair of lsof runs.
read -r own0 kids0 < <(cpu)
sleep "$window"
read -r own1 kids1 < <(cpu)
panel_shown || { echo "the panel closed by itself; the panel-open figure is void" >&2; exit 1; }
refreshes=$((window / interval))
echo "panel open, ${refreshes} refreshes in ${window} s: quayline $(( (own1 - own0) / refreshes )) ms" \
     "per refresh, its lsof runs $(( (kids1 - kids0) / refreshes )) ms per refresh"

# Close the panel (a second click, away from the first so it is no double click).
xdotool mousemove $((x + w / 2 + 5)) $((y + h / 2)) click 1
for _ in $(seq 100); do panel_shown || break; sleep 0.1; done
sleep "$interval" # let a scan under way end
# On a loaded machine the click that takes the focus away can reach the icon
# late enough to open the panel again; then the figure would not be idle.
panel_shown && { echo "the panel did not stay closed; the idle figure is void" >&2; exit 1; }
read -r own0 kids0 < <(cpu)
sleep "$window"
read -r own1 kids1 < <(cpu)
panel_shown && { echo "the panel opened again; the idle figure is void" >&2; exit 1; }
echo "idle CPU per minute, panel closed, auto-refresh ${interval} s:" \
     "quayline $(( (own1 - own0) * 60 / window )) ms, its lsof runs $(( (kids1 - kids0) * 60 / window )) ms"
echo "resident memory after idling with the panel closed: $(awk '/VmRSS/ {print $2, $3}' /proc/$app/status)"
