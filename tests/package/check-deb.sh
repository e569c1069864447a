#!/usr/bin/env bash
# Checks the built Debian package: lintian without errors or warnings, the
# metainfo and the menu entry valid, the files a desktop installation needs,
# and Depends naming every QML module the views load.
# Usage: check-deb.sh DEB|DIR SOURCE_DIR   (DIR: the one quayline_*.deb in it)
set -uo pipefail

deb=${1:?usage: $0 DEB|DIR SOURCE_DIR}
[ -d "$deb" ] && deb=$(ls "$deb"/quayline_*.deb | head -n 1)
[ -f "$deb" ] || { echo "no package at $1" >&2; exit 1; }
src=${2:?usage: $0 DEB SOURCE_DIR}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

echo "== $(basename "$deb"): $(stat -c %s "$deb") bytes, Installed-Size" \
    "$(dpkg-deb -f "$deb" Installed-Size) KiB"

echo "== lintian"
# --fail-on: an error or a warning fails; lintian prints every tag it found.
lintian --fail-on error,warning --display-level '>=pedantic' --tag-display-limit 0 "$deb" ||
    fail "lintian reports errors or warnings"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
id=org.example.quayline.Quayline

echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" ||
    fail "the metainfo is not valid"

echo "== desktop-file-validate"
out=$(desktop-file-validate "$root/usr/share/applications/quayline.desktop" 2>&1)
rc=$?
[ -n "$out" ] && echo "$out"
[ $rc -eq 0 ] && ! grep -q 'error:' <<<"$out" || fail "the menu entry is not valid"
grep -qx 'Exec=/usr/bin/quayline' "$root/usr/share/applications/quayline.desktop" ||
    fail "the menu entry does not start /usr/bin/quayline"

echo "== contents"
for f in usr/bin/quayline usr/bin/quayline-cli \
    usr/share/applications/quayline.desktop \
    usr/share/metainfo/$id.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/quayline.svg \
    usr/share/icons/hicolor/scalable/apps/quayline-symbolic.svg \
    usr/share/man/man1/quayline.1.gz usr/share/man/man1/quayline-cli.1.gz \
    usr/share/bash-completion/completions/quayline-cli \
    usr/share/zsh/vendor-completions/_quayline-cli \
    usr/share/fish/vendor_completions.d/quayline-cli.fish \
    usr/share/doc/quayline/changelog.gz usr/share/doc/quayline/copyright; do
    [ -s "$root/$f" ] || fail "missing /$f"
done
# The pixel sizes trays ask for, and two for software centres.
for size in 16 22 24 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/quayline.png
    if [ ! -s "$png" ]; then
        fail "missing the ${size}px icon"
    elif [ "$(identify -format '%wx%h' "$png")" != "${size}x${size}" ]; then
        fail "the ${size}px icon is $(identify -format '%wx%h' "$png")"
    fi
done
# The test build's program carries a hook that no installed program may carry.
if find "$root" -name '*testhooks*' | grep -q .; then fail "the test build is packaged"; fi
for f in "$root"/usr/bin/*; do
    grep -q QUAYLINE_TEST_REPORT "$f" && fail "$f carries the test hook"
done
grep -q '^License: LicenseRef-proprietary$' "$root/usr/share/doc/quayline/copyright" &&
    grep -q 'All rights reserved. No license is granted.' "$root/usr/share/doc/quayline/copyright" &&
    grep -q 'The Quayline developers' "$root/usr/share/doc/quayline/copyright" ||
    fail "the copyright file does not say that no license is granted"

echo "== Depends"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends"
grep -qw lsof <<<"$depends" || fail "Depends lacks lsof"
# Every module the views import, with the modules those load in turn (their
# qmldir's imports and depends; optional styles aside), must come from a
# package named in Depends: the QML engine reports a missing one only at run
# time, and one module package pulls in none of the others.
qml=$(qmake6 -query QT_INSTALL_QML 2>/dev/null || echo /usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/qt6/qml)
declare -A seen=()
queue=($(grep -rhoP '^\s*import\s+\K[A-Za-z][A-Za-z0-9.]*' "$src"/Quayline --include='*.qml' |
    grep -vx Quayline | sort -u))
while [ ${#queue[@]} -gt 0 ]; do
    module=${queue[0]}
    queue=("${queue[@]:1}")
    [ -n "${seen[$module]:-}" ] && continue
    seen[$module]=1
    qmldir=$qml/${module//.//}/qmldir
    if [ ! -e "$qmldir" ]; then
        fail "no qmldir for the module $module"
        continue
    fi
    package=$(dpkg -S "$qmldir" | cut -d: -f1)
    grep -qE "(^|[ ,])$package([ ,(]|$)" <<<"$depends" ||
        fail "Depends lacks $package (for the QML module $module)"
    queue+=($(awk '$1 == "depends" || $1 == "import" { print $2 }
                   $1 == "default" && $2 == "import" { print $3 }' "$qmldir"))
done
echo "QML modules: ${!seen[*]}"

[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
