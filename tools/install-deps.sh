#!/usr/bin/env bash
# Installs the Debian packages Quayline needs that are not installed yet.
# Idempotent: with everything present it only checks and returns.
# Usage: tools/install-deps.sh run|test|bench|fuzz|package
set -euo pipefail

build=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-declarative-dev qt6-svg-dev
       qt6-declarative-dev-tools qt6-l10n-tools libxcb1-dev)
runtime=(lsof qml6-module-qtquick qml6-module-qtqml qml6-module-qtqml-models
         qml6-module-qtqml-workerscript qml6-module-qtquick-layouts qml6-module-qtquick-controls
         qml6-module-qtquick-templates qml6-module-qtquick-window qt6-qpa-plugins
         qt6-wayland fonts-dejavu-core)
tests=(qml6-module-qttest xvfb xauth xfonts-base xdotool trayer imagemagick perl
       dbus-bin dbus-daemon weston xwayland x11-utils bash-completion debootstrap fish zsh
       sway waybar wayvnc wtype grim xfce4-panel xfconf
       gnome-shell gnome-shell-extension-appindicator busybox-static docker.io
       podman uidmap slirp4netns passt
       lxqt-panel openbox mate-panel marco mate-settings-daemon-common
       plasma-workspace plasma-desktop kwin-x11 kded5 kactivitymanagerd
       cinnamon xapp-sn-watcher
       budgie-core gir1.2-budgie-1.0 gir1.2-budgieraven-1.0)
# Building the Debian package and checking it.
package=(appstream debhelper desktop-file-utils dpkg-dev lintian man-db)
bench=(libbenchmark-dev time python3)
fuzz=(clang libclang-rt-14-dev)
# ip, for the tunnel interfaces that tests and benchmarks make.
tests+=(iproute2)
bench+=(iproute2)
# KDE Plasma on Wayland in the tray host suite, and the fake-input client built for it.
tests+=(kwin-wayland qtwayland5 libwayland-dev libwayland-bin plasma-wayland-protocols)

case "${1:-run}" in
    run) wanted=("${build[@]}" "${runtime[@]}") ;;
    test) wanted=("${build[@]}" "${runtime[@]}" "${tests[@]}" "${package[@]}") ;;
    bench) wanted=("${build[@]}" "${runtime[@]}" "${bench[@]}") ;;
    fuzz) wanted=("${build[@]}" "${runtime[@]}" "${fuzz[@]}") ;;
    package) wanted=("${build[@]}" "${package[@]}") ;;
    *) echo "usage: $0 run|test|bench|fuzz|package" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
