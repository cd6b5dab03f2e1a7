#!/usr/bin/env bash
# Makes the release package from a Windows build tree:
#   BUILD_DIR/vornfeed-<version>-win64.zip  with vornfeed.exe, README.txt (the
#   user part of README.md, CRLF line ends for Notepad) and LICENSE.txt.
#
#   scripts/package.sh [BUILD_DIR] [--tested DIR]
#
# With --tested the exe must match the SHA-256 in every DIR/*.sha256 (each
# passing end-to-end case writes the hash of the exe it ran there), so the
# package holds the very file that passed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build/win64"
tested=
while [ $# -gt 0 ]; do
    case "$1" in
    --tested) tested=$2; shift 2 ;;
    -*) echo "usage: scripts/package.sh [BUILD_DIR] [--tested DIR]" >&2; exit 2 ;;
    *) dir=$1; shift ;;
    esac
done

dir=$(realpath -m "$dir")
exe="$dir/src/app/vornfeed.exe"
[ -f "$exe" ] || { echo "error: no $exe: build it with scripts/build.sh win64" >&2; exit 1; }
version=$(sed -n 's/^project(vornfeed VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "error: no version in CMakeLists.txt" >&2; exit 1; }

sha=$(sha256sum <"$exe" | cut -d' ' -f1)
if [ -n "$tested" ]; then
    stamps=("$tested"/*.sha256)
    [ -f "${stamps[0]}" ] || { echo "error: no end-to-end results in $tested: run ctest -L e2e first" >&2; exit 1; }
    for stamp in "${stamps[@]}"; do
        if [ "$(cut -d' ' -f1 "$stamp")" != "$sha" ]; then
            echo "error: $exe is not the exe that end-to-end case $(basename "$stamp" .sha256) ran (rebuilt since?)" >&2
            exit 1
        fi
    done
fi

name="vornfeed-$version-win64"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
cp "$exe" "$stage/$name/vornfeed.exe"
{
    echo "Vornfeed $version"
    echo
    sed -n '/<!-- user:begin -->/,/<!-- user:end -->/p' "$root/README.md" | sed '1d;$d' |
        grep -v '^!\[' | sed 's/\r$//'
} | sed 's/$/\r/' >"$stage/$name/README.txt"
sed 's/$/\r/' "$root/LICENSE" >"$stage/$name/LICENSE.txt"
# Fixed times make the zip depend on its contents only.
touch -d "@$(stat -c %Y "$exe")" "$stage/$name" "$stage/$name"/*
rm -f "$dir/$name.zip"
(cd "$stage" && zip -q -X -r "$dir/$name.zip" "$name")

[ "$(unzip -p "$dir/$name.zip" "$name/vornfeed.exe" | sha256sum | cut -d' ' -f1)" = "$sha" ] ||
    { echo "error: the exe in the zip differs from $exe" >&2; exit 1; }
echo "$dir/$name.zip"
