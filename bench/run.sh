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

target=$(mktemp -d "$data/target.XXXXXX")
image="$data/stick.img"
trap 'rm -f "$image"; rm -rf "$target"' EXIT
args=("${trees[@]}" --reps "$reps" "${window[@]}")

if [ "$(id -u)" -eq 0 ] && command -v unshare mkfs.ext4 mount >/dev/null && unshare -m true 2>/dev/null; then
    # An ext4 stick image, mounted only inside a private mount namespace: the
    # mount and its loop device go away with the namespace. Without a loop
    # device the same run goes to the plain directory, and says so.
    rm -f "$image"
    truncate -s $((bytes * 2 + 256 * 1024 * 1024)) "$image"
    mkfs.ext4 -q -F -L PENDREL "$image"
    unshare -m --propagation private -- bash -c '
        image=$1 target=$2
        shift 2
        if mount -o loop "$image" "$target"; then
            exec "$@" --target "$target" --target-kind "ext4 stick image, loop-mounted"
        fi
        exec "$@" --target "$target" --target-kind "plain directory: the stick image could not be mounted"
    ' run-on-stick "$image" "$target" "$bin/savebench" "${args[@]}"
else
    "$bin/savebench" "${args[@]}" --target "$target" \
        --target-kind "plain directory: no stick image (needs root, unshare, mkfs.ext4)"
fi
