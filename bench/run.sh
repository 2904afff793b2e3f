#!/usr/bin/env bash
# Makes the benchmark trees (once; they are kept for later runs), a stick to
# save to, and runs savebench. See README.md in this folder.
#
#   bench/run.sh [--large] [--files N] [--reps N] [--data DIR] [--bin DIR]
set -euo pipefail

files=200000
large=false
reps=3
data=${PENDREL_BENCH_DATA:-/var/tmp/pendrel-bench}
bin="$(cd "$(dirname "$0")/.." && pwd)/build/bench"
while [ $# -gt 0 ]; do
    case "$1" in
        --large) large=true; shift ;;
        --files) files=$2; shift 2 ;;
        --reps) reps=$2; shift 2 ;;
        --data) data=$2; shift 2 ;;
        --bin) bin=$2; shift 2 ;;
        *) echo "usage: $0 [--large] [--files N] [--reps N] [--data DIR] [--bin DIR]" >&2; exit 2 ;;
    esac
done
for tool in maketree savebench; do
    [ -x "$bin/$tool" ] || { echo "$bin/$tool is missing: build first (./scripts/setup.sh)" >&2; exit 2; }
done
mkdir -p "$data"
data=$(cd "$data" && pwd)

# A tree is complete once maketree has written its .info file.
tree_of() {
    local tree="$data/tree-$1"
    if [ ! -f "$tree.info" ]; then
        rm -rf "$tree"
        echo "making $tree ($1 files)" >&2
        "$bin/maketree" --files "$1" "$tree"
    fi
    echo "$tree"
}
trees=(--tree "$(tree_of "$files")")
if $large; then
    trees+=(--tree "$(tree_of 1000000)")
fi
window=()
[ -x "$bin/windowsave" ] && window=(--window "$bin/windowsave")

bytes=0
for ((i = 1; i < ${#trees[@]}; i += 2)); do
    b=$(awk '$1 == "expected_bytes" { print $2 }' "${trees[i]}.info")
    [ "$b" -gt "$bytes" ] && bytes=$b
done

if [ "$(id -u)" -eq 0 ] && command -v unshare mkfs.ext4 mount >/dev/null; then
    # An ext4 stick image, mounted only inside a private mount namespace: the
    # mount and its loop device go away with the namespace.
    image="$data/stick.img"
    mountpoint=$(mktemp -d "$data/stick.XXXXXX")
    trap 'rm -f "$image"; rmdir "$mountpoint"' EXIT
    rm -f "$image"
    truncate -s $((bytes * 2 + 256 * 1024 * 1024)) "$image"
    mkfs.ext4 -q -F -L PENDREL "$image"
    unshare -m --propagation private -- bash -c 'mount -o loop "$1" "$2" && shift 2 && exec "$@"' mount-stick \
        "$image" "$mountpoint" \
        "$bin/savebench" "${trees[@]}" --target "$mountpoint" --target-kind "ext4 stick image, loop-mounted" \
        --reps "$reps" "${window[@]}"
else
    target=$(mktemp -d "$data/target.XXXXXX")
    trap 'rm -rf "$target"' EXIT
    "$bin/savebench" "${trees[@]}" --target "$target" \
        --target-kind "plain directory: no stick image (needs root, unshare, mkfs.ext4)" \
        --reps "$reps" "${window[@]}"
fi
