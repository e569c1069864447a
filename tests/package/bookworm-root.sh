#!/usr/bin/env bash
# Prints the path of a tarball holding a minimal Debian 12 root
# (debootstrap --variant=minbase bookworm), made once from the Debian mirror
# that this machine's apt uses and kept in CACHE_DIR for later runs.
# Usage: bookworm-root.sh CACHE_DIR
set -euo pipefail

cache=${1:?usage: $0 CACHE_DIR}
tarball=$cache/bookworm-minbase.tar
mkdir -p "$cache"

# The first bookworm mirror in apt's sources, in either format; the Debian
# redirector when there is none.
mirror() {
    local m=""
    if [ -r /etc/apt/sources.list ]; then
        m=$(awk '$1 == "deb" && $0 ~ / bookworm( |$)/ && $0 !~ /security/ {
                     for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
                /etc/apt/sources.list)
    fi
    if [ -z "$m" ]; then
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -r "$f" ] || continue
            m=$(awk 'BEGIN { RS = ""; FS = "\n" }
                     /(^|\n)Suites:[^\n]*bookworm( |\n|$)/ && !/security/ {
                         for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) {
                             split($i, w, /[ \t]+/); print w[2]; exit } }' "$f")
            [ -n "$m" ] && break
        done
    fi
    echo "${m:-http://deb.debian.org/debian}"
}

# Two runs at once (parallel builds) make the root once.
exec 9>"$cache/.lock"
flock 9
if [ ! -s "$tarball" ]; then
    work=$(mktemp -d "$cache/debootstrap.XXXXXX")
    trap 'rm -rf --one-file-system "$work"' EXIT
    m=$(mirror)
    echo "debootstrap --variant=minbase bookworm from $m" >&2
    # Without $container, debootstrap makes the root's device nodes with mknod
    # (and fails where it may not) rather than bind the host's into the root
    # it runs the packages' scripts in, as root, as it does in an LXC guest.
    env -u container debootstrap --variant=minbase bookworm "$work/root" "$m" >"$work/log" 2>&1 ||
        { tail -n 30 "$work/log" >&2; exit 1; }
    rm -rf "$work/root/var/cache/apt/archives/"*.deb
    tar -C "$work/root" --numeric-owner -cf "$tarball.part" .
    mv "$tarball.part" "$tarball"
fi
echo "$tarball"
