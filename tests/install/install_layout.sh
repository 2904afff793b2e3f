#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: nothing but the program in bin/,
# the read-me, copyright and changelog in share/doc/pendrel/, each icon in the hicolor folder of its
# size, the manual page, and a desktop entry and AppStream metainfo that pass their validators,
# the metainfo without even a pedantic hint.
#
#   install_layout.sh CMAKE BUILD_DIR
#
# Exit status 77 (skipped) when a validator is not installed.
set -euo pipefail

cmake=$1
build=$2
for tool in desktop-file-validate appstreamcli identify; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$(mktemp -d)
trap 'rm -rf -- "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

metainfo=share/metainfo/io.github.pendrel.pendrel.metainfo.xml
expected="bin/pendrel
share/applications/pendrel.desktop
share/doc/pendrel/Readme.txt
share/doc/pendrel/changelog.Debian.gz
share/doc/pendrel/copyright
share/icons/hicolor/16x16/apps/pendrel.png
share/icons/hicolor/32x32/apps/pendrel.png
share/man/man1/pendrel.1.gz
$metainfo"
found=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$found" = "$expected" ] || fail "installed files:"$'\n'"$found"$'\n'"expected:"$'\n'"$expected"

for icon in "$prefix"/share/icons/hicolor/*/apps/pendrel.png; do
    folder=$(basename "$(dirname "$(dirname "$icon")")")
    size=$(identify -format '%wx%h' "$icon")
    [ "$size" = "$folder" ] || fail "a $size icon is installed under hicolor/$folder"
done

desktop-file-validate "$prefix/share/applications/pendrel.desktop" || fail "desktop-file-validate"
hints=$(appstreamcli validate --pedantic --no-net "$prefix/$metainfo") || fail "appstreamcli validate: $hints"
! grep '^[EWIP]:' <<<"$hints" || fail "appstreamcli validate --pedantic"
echo "installed: $(tr '\n' ' ' <<<"$found")"
