#!/usr/bin/env bash
# Prints the tray program's figures on a virtual X server with trayer as the
# tray host: time from launch to the tray icon, resident memory with the
# panel shown after 3 s idle, and CPU per minute while idle with the panel
# closed and auto-refresh at 5 s (the program and its lsof runs apart).
# Uses a throwaway HOME, so the user's settings are not touched.
#
#   Quayline/measure/tray_figures.sh [path/to/quayline] [idle seconds, 60]
set -euo pipefail
program=$(realpath "${1:-build/quayline}")
idle=${2:-60}
for tool in Xvfb trayer xdotool; do
    command -v "$tool" >/dev/null || { echo "needs $tool (tools/install-deps.sh test)" >&2; exit 2; }
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

exec 3>"$scratch/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$scratch/display")"
export HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/run"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/no-bus" NO_AT_BRIDGE=1
unset QT_QPA_PLATFORM WAYLAND_DISPLAY XDG_SESSION_TYPE
mkdir -m 700 "$XDG_RUNTIME_DIR"

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
until xdotool search --onlyvisible --classname '^quayline$' getwindowgeometry %@ 2>/dev/null \
        | grep -q 'Geometry: 380x460'; do sleep 0.05; done
sleep 3
echo "resident memory, panel shown, 3 s idle: $(awk '/VmRSS/ {print $2, $3}' /proc/$app/status)"

# Close the panel (a second click, away from the first so it is no double click).
xdotool mousemove $((x + w / 2 + 5)) $((y + h / 2)) click 1
ticks=$(getconf CLK_TCK)
read -r -a before < <(awk '{print $14 + $15, $16 + $17}' /proc/$app/stat)
sleep "$idle"
read -r -a after < <(awk '{print $14 + $15, $16 + $17}' /proc/$app/stat)
own=$(( (after[0] - before[0]) * 1000 / ticks * 60 / idle ))
lsof=$(( (after[1] - before[1]) * 1000 / ticks * 60 / idle ))
echo "idle CPU per minute, panel closed, auto-refresh 5 s: quayline ${own} ms, its lsof runs ${lsof} ms"
echo "resident memory after idling with the panel closed: $(awk '/VmRSS/ {print $2, $3}' /proc/$app/status)"
