#!/usr/bin/env bash
# Builds the Debian package from this checkout with debian/ (dpkg-buildpackage),
# in a copy of the tree under OUTDIR, so that the checkout stays clean; the
# .deb ends up in OUTDIR and its path is printed last.
# Usage: tools/build-deb.sh [OUTDIR]     (default: build-deb)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-deb}" && cd "${1:-$root/build-deb}" && pwd)
"$root/tools/install-deps.sh" package

version=$(sed -n 's/^project(Quayline VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
changelog=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
if [ "$version" != "$changelog" ]; then
    echo "debian/changelog is at $changelog but CMakeLists.txt at $version: add an entry" >&2
    exit 1
fi

# The tracked and the new files that git does not ignore; the build folders
# never get in.
src=$out/src/quayline-$version
rm -rf "$out/src"
mkdir -p "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar --null -T - -cf -) | tar -C "$src" -xf -
else
    tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
fi

# ccache, where installed, makes rebuilds of an unchanged tree quick.
launcher=""
command -v ccache >/dev/null && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
jobs=${JOBS:-$(nproc)}
(cd "$src" &&
    QUAYLINE_CMAKE_ARGS="$launcher" DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -b --no-sign) >"$out/build.log" 2>&1 ||
    { tail -n 40 "$out/build.log" >&2; echo "the package build failed; log: $out/build.log" >&2; exit 1; }

rm -f "$out"/quayline_*.deb "$out"/quayline-dbgsym_*.deb
mv "$out"/src/quayline_"$version"_*.deb "$out"/
mv "$out"/src/quayline-dbgsym_"$version"_*.deb "$out"/ 2>/dev/null || true
ls "$out"/quayline_"$version"_*.deb
