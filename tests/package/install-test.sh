#!/usr/bin/env bash
# Installs the package into a clean Debian 12 root with nothing but its
# Depends (apt-get install --no-install-recommends ./quayline_*.deb), runs both
# programs from there, removes and purges it, and looks for leftovers.
# Needs root (chroot, mount). Xvfb, trayer and xdotool run outside the root
# and reach the program through /tmp/.X11-unix.
# Usage: install-test.sh DEB|DIR CACHE_DIR   (DIR: the one quayline_*.deb in it)
#
# Safety: the only processes signalled are the ones started here, by the pid
# the shell got when it started them.
set -uo pipefail

deb=${1:?usage: $0 DEB|DIR CACHE_DIR}
[ -d "$deb" ] && deb=$(ls "$deb"/quayline_*.deb | head -n 1)
[ -f "$deb" ] || { echo "no package at $1" >&2; exit 1; }
deb=$(realpath "$deb")
cache=${2:?usage: $0 DEB CACHE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
started=$SECONDS
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
step() { echo "== [$((SECONDS - started)) s] $*"; }

[ "$(id -u)" -eq 0 ] || { echo "SKIP: the install test needs root (chroot, mount)"; exit 0; }

step "minimal Debian 12 root"
tarball=$("$here/bookworm-root.sh" "$cache") || { echo "FAIL: no Debian root" >&2; exit 1; }
root=$(mktemp -d /var/tmp/quayline-root.XXXXXX)
work=$(mktemp -d /tmp/quayline-install.XXXXXX)
mounts=()
pids=()

cleanup() {
    local pid m i
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    # Newest first; every mount made here comes off, whatever happened.
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        m=${mounts[i]}
        umount "$m" 2>/dev/null || umount -l "$m" || echo "could not unmount $m" >&2
    done
    if findmnt -rn -o TARGET | grep -q "^$root"; then
        echo "mounts remain under $root; it is left in place" >&2
    else
        rm -rf --one-file-system "$root"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

bind() { # source, target inside the root, extra options
    mkdir -p "$root$2"
    mount --bind "$1" "$root$2" && mounts+=("$root$2") && { [ -z "${3:-}" ] ||
        mount -o remount,bind,"$3" "$root$2"; }
}
# Device nodes of the root's own on a tmpfs, never the host's /dev: package
# scripts run as root in here, and whatever they do to a node stays in here.
devices() {
    local dev=$root/dev spec name major minor
    mount -t tmpfs -o mode=0755,nosuid,size=16m tmpfs "$dev" && mounts+=("$dev") || return 1
    for spec in "null 1 3" "zero 1 5" "full 1 7" "random 1 8" "urandom 1 9" "tty 5 0"; do
        read -r name major minor <<<"$spec"
        mknod -m 0666 "$dev/$name" c "$major" "$minor" || return 1
    done
    mkdir -m 0755 "$dev/pts" && mkdir -m 1777 "$dev/shm" && ln -s pts/ptmx "$dev/ptmx" &&
        ln -s /proc/self/fd "$dev/fd" && ln -s /proc/self/fd/0 "$dev/stdin" &&
        ln -s /proc/self/fd/1 "$dev/stdout" && ln -s /proc/self/fd/2 "$dev/stderr" &&
        mount -t devpts -o newinstance,ptmxmode=0666 devpts "$dev/pts" &&
        mounts+=("$dev/pts")
}
tar -C "$root" -xf "$tarball" || { echo "FAIL: cannot unpack $tarball" >&2; exit 1; }
mount -t proc proc "$root/proc" && mounts+=("$root/proc")
mount -t sysfs sysfs "$root/sys" && mounts+=("$root/sys")
devices || { echo "FAIL: no device nodes in the root" >&2; exit 1; }
mkdir -p /tmp/.X11-unix
bind /tmp/.X11-unix /tmp/.X11-unix
# Downloaded packages stay for the next run.
mkdir -p "$cache/archives/partial"
bind "$cache/archives" /var/cache/apt/archives
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"; }
apt() { # one apt at a time over the shared download folder
    flock "$cache/archives/.lock" chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0 "$@"
}

step "apt-get update"
apt update >"$work/apt.log" 2>&1 || { tail "$work/apt.log" >&2; fail "apt-get update"; exit 1; }
in_root dpkg-query -W -f '${Package}\n' | sort >"$work/before"

step "apt-get install --no-install-recommends ./$(basename "$deb")"
install_start=$SECONDS
if ! apt install --no-install-recommends "/tmp/$(basename "$deb")" >"$work/apt.log" 2>&1; then
    tail -n 30 "$work/apt.log" >&2
    fail "the package does not install"
    exit 1
fi
in_root dpkg-query -W -f '${Package}\n' | sort >"$work/after"
echo "installed in $((SECONDS - install_start)) s, with" \
    "$(comm -13 "$work/before" "$work/after" | wc -l) packages (quayline included)"
in_root dpkg -L quayline >"$work/owned"

step "quayline-cli"
# A listener of this test's own, on loopback; lsof in the root sees it
# through the mounted /proc.
perl -MIO::Socket::INET -e '
    my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1)
        or die "listen: $!";
    $| = 1; print $s->sockport, "\n"; sleep 600' >"$work/port" &
listener=$!
pids+=("$listener")
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
json=$(in_root quayline-cli --json "$port")
rc=$?
# The listener's pid and port in one object, whatever the layout.
if [ $rc -ne 0 ] || ! tr -d ' \n' <<<"$json" | sed 's/},{/}\n{/g' |
    grep -E "\"pid\":$listener[,}]" | grep -qE "\"port\":$port[,}]"; then
    echo "$json" >&2
    fail "quayline-cli --json does not list the listener (pid $listener, port $port)"
fi

step "quayline under Xvfb with trayer"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 300); do [ -s "$work/display" ] && break; sleep 0.1; done
display=:$(head -n 1 "$work/display")
export DISPLAY=$display
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
trayer --edge top --align right --widthtype request --height 24 --SetDockType false \
    --SetPartialStrut false 2>"$work/trayer.log" &
pids+=($!)
mkdir -p "$root/run/user/0" && chmod 700 "$root/run/user/0"
# chroot runs the program in its own place, so this pid is quayline's.
chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 DISPLAY="$display" \
    XDG_RUNTIME_DIR=/run/user/0 /usr/bin/quayline >"$work/quayline.log" 2>&1 &
app=$!
pids+=("$app")
# Windows of the program: "geometry" lines, WxH+X+Y.
windows() {
    xdotool search --onlyvisible --classname '^quayline$' 2>/dev/null |
        while read -r w; do
            xdotool getwindowgeometry --shell "$w" |
                awk -F= '{ v[$1] = $2 } END { print v["WIDTH"] "x" v["HEIGHT"] "+" v["X"] "+" v["Y"] }'
        done
}
icon=""
for _ in $(seq 600); do
    icon=$(windows | awk -Fx '$1 <= 64 && $1 > 0 { split($2, h, "+"); if (h[1] <= 64) { print; exit } }')
    [ -n "$icon" ] && break
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$icon" ]; then
    cat "$work/quayline.log" >&2
    fail "no tray icon of quayline in trayer"
else
    # The icon is drawn: its pixels are not all one colour.
    for _ in $(seq 100); do
        colours=$(import -display "$display" -window root -crop "$icon" +repage -format '%k' info: 2>/dev/null)
        [ "${colours:-0}" -gt 2 ] && break
        sleep 0.2
    done
    echo "icon at $icon, $colours colours"
    [ "${colours:-0}" -gt 2 ] || fail "the tray icon at $icon is blank"
    # A click opens the panel: its views load, so every QML module they import is there.
    geometry=(${icon//[x+]/ })
    xdotool mousemove $((geometry[2] + geometry[0] / 2)) $((geometry[3] + geometry[1] / 2)) click 1
    panel=""
    for _ in $(seq 300); do
        panel=$(windows | grep -m1 '^380x')
        [ -n "$panel" ] && break
        sleep 0.1
    done
    [ -n "$panel" ] || fail "a click on the icon opens no panel"
    echo "panel at ${panel:-nowhere}"
fi
if grep -iE 'not installed|module .* is not|qrc:/|failed to load|Could not' "$work/quayline.log"; then
    fail "quayline reports errors"
fi
kill "$app" 2>/dev/null
wait "$app"
status=$?
[ $status -eq 0 ] || fail "quayline ended with status $status on SIGTERM"

step "apt-get remove, then purge"
apt remove quayline >"$work/apt.log" 2>&1 || fail "apt-get remove"
while IFS= read -r f; do
    if [ -e "$root$f" ] && [ ! -d "$root$f" ]; then fail "left after remove: $f"; fi
done <"$work/owned"
# apt knows the package only from the file it was given, so dpkg purges it
# (with no configuration files, removing has left nothing to purge).
in_root dpkg --purge quayline >"$work/apt.log" 2>&1 || fail "dpkg --purge"
[ -z "$(in_root dpkg-query -W -f '${db:Status-Abbrev}' quayline 2>/dev/null)" ] ||
    fail "dpkg still knows quayline: $(in_root dpkg-query -W -f '${db:Status-Abbrev}' quayline)"
# Folders the package shared with others stay; its own go.
while IFS= read -r f; do
    [ "$f" != /. ] && [ -d "$root$f" ] || continue
    in_root dpkg -S "$f" >/dev/null 2>&1 || fail "left after purge: $f/"
done <"$work/owned"
# Anything else named after it, outside the homes, /tmp and apt's and dpkg's logs.
leftovers=$(cd "$root" && find . -xdev -iname '*quayline*' \
    -not -path './root/*' -not -path './tmp/*' -not -path './run/user/*' \
    -not -path './var/log/*' -not -path './var/cache/apt/*')
[ -z "$leftovers" ] || fail "left after purge: $leftovers"
# The package's scripts left the devices as they were.
for name in null zero full random urandom tty; do
    [ "$(stat -c '%F %a' "$root/dev/$name")" = "character special file 666" ] ||
        fail "/dev/$name is now $(stat -c '%F %a' "$root/dev/$name")"
done

step "done"
echo "install test: $((SECONDS - started)) s"
[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
