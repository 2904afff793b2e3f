#!/usr/bin/env bash
# Makes the benchmark trees (once; they are kept for later runs), a stick to
# save to, and runs savebench. See README.md in this folder.
#
#   bench/run.sh [--large] [--cold] [--fuse] [--files N] [--reps N] [--data DIR]
#                [--bin DIR] [--no-install]
set -euo pipefail

usage="usage: $0 [--large] [--cold] [--fuse] [--files N] [--reps N] [--data DIR] [--bin DIR] [--no-install]"
files=200000
fuse_files=20000
large=false
cold=false
fuse=false
install=true
reps=3
data=${PENDREL_BENCH_DATA:-/var/tmp/pendrel-bench}
bin="$(cd "$(dirname "$0")/.." && pwd)/build/bench"
while [ $# -gt 0 ]; do
    case "$1" in
        --large) large=true; shift ;;
        --cold) cold=true; shift ;;
        --fuse) fuse=true; shift ;;
        --no-install) install=false; shift ;;
        --files) files=$2; shift 2 ;;
        --reps) reps=$2; shift 2 ;;
        --data) data=$2; shift 2 ;;
        --bin) bin=$2; shift 2 ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
for tool in maketree savebench; do
    [ -x "$bin/$tool" ] || { echo "$bin/$tool is missing: build first (./scripts/setup.sh --tests)" >&2; exit 2; }
done
mkdir -p "$data"
data=$(cd "$data" && pwd)
root=false
[ "$(id -u)" -eq 0 ] && root=true

# The benchmark's own set-up: fd is a reference here only, not a build or
# test dependency.
if $install && $root && ! command -v fdfind >/dev/null && ! command -v fd >/dev/null && command -v apt-get >/dev/null; then
    echo "installing fd-find for the fd figures" >&2
    apt-get install -y -qq --no-install-recommends fd-find >/dev/null 2>&1 ||
        { apt-get update -qq && apt-get install -y -qq --no-install-recommends fd-find >/dev/null; } ||
        echo "fd-find could not be installed: no fd figures" >&2
fi

# tree_of FILES [CHANGED_PERCENT]. A tree is complete once maketree has
# written its .info file.
tree_of() {
    local tree="$data/tree-$1" changed=()
    if [ $# -gt 1 ]; then
        tree="$tree-changed-$2"
        changed=(--changed "$2")
    fi
    if [ ! -f "$tree.info" ]; then
        rm -rf "$tree"
        echo "making $tree ($1 files)" >&2
        "$bin/maketree" --files "$1" "${changed[@]}" "$tree"
    fi
    echo "$tree"
}
trees=(--tree "$(tree_of "$files")")
if $large; then
    trees+=(--tree "$(tree_of 1000000)")
fi
window=()
[ -x "$bin/windowsave" ] && window=(--window "$bin/windowsave")
# The real program needs an X server and a window manager to be closed as a
# user closes it, and a stick where it looks for one (below /media).
program=
if [ -x "$bin/../pendrel" ] && $root; then
    if command -v Xvfb openbox wmctrl >/dev/null; then
        program=$(cd "$bin/.." && pwd)/pendrel
    else
        echo "no figure of the real program: needs Xvfb, openbox and wmctrl" >&2
    fi
fi
extra=()
$cold && extra+=(--cold)
fuse_tree=
[ "$files" -lt "$fuse_files" ] && fuse_files=$files
if $fuse; then
    if $root && command -v mkfs.exfat mount.exfat-fuse losetup >/dev/null; then
        # More changed files than in the other trees: the figure is about
        # the copies' round trips to the FUSE daemon, not about the walk.
        fuse_tree=$(tree_of "$fuse_files" 10)
    else
        echo "no FUSE figure: needs root, exfatprogs and exfat-fuse" >&2
    fi
fi

bytes=0
for ((i = 1; i < ${#trees[@]}; i += 2)); do
    b=$(awk '$1 == "expected_bytes" { print $2 }' "${trees[i]}.info")
    [ "$b" -gt "$bytes" ] && bytes=$b
done

target=$(mktemp -d "$data/target.XXXXXX")
fuse_target=$(mktemp -d "$data/fuse-target.XXXXXX")
image="$data/stick.img"
fuse_image="$data/fuse-stick.img"
trap 'rm -f "$image" "$fuse_image"; rm -rf "$target" "$fuse_target"' EXIT
args=("${trees[@]}" --reps "$reps" "${window[@]}" "${extra[@]}")

if $root && command -v unshare mkfs.ext4 mount >/dev/null && unshare -m true 2>/dev/null; then
    # An ext4 stick image, mounted only inside a private mount namespace: the
    # mount and its loop device go away with the namespace. Without a loop
    # device the same run goes to the plain directory, and says so. The exFAT
    # stick's FUSE daemon and loop device would outlive the namespace: it is
    # removed before the namespace ends.
    rm -f "$image" "$fuse_image"
    truncate -s $((bytes * 2 + 256 * 1024 * 1024)) "$image"
    mkfs.ext4 -q -F -L PENDREL "$image"
    unshare -m --propagation private -- bash -c '
        image=$1 target=$2 fuse_tree=$3 fuse_image=$4 fuse_target=$5 stick_sh=$6 program=$7
        shift 7
        kind="ext4 stick image, loop-mounted"
        mount -o loop "$image" "$target" || { kind="plain directory: the stick image could not be mounted"; program=; }
        real=()
        x=()
        if [ -n "$program" ]; then
            # The stick where a desktop mounts it, for the program to find;
            # an X server and a window manager of this run alone.
            mount -t tmpfs tmpfs /media && mkdir -p /media/root/PENDREL &&
                mount --bind "$target" /media/root/PENDREL || program=
            display=$(mktemp)
            exec 3>"$display"
            Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            x+=($!)
            exec 3>&-
            timeout 20 bash -c "until grep -q . \"$display\"; do sleep 0.05; done" || program=
            export DISPLAY=":$(head -n1 "$display")"
            rm -f "$display"
            openbox --sm-disable >/dev/null 2>&1 &
            x+=($!)
            timeout 20 bash -c "until wmctrl -m >/dev/null 2>&1; do sleep 0.05; done" || program=
            if [ -n "$program" ]; then
                real=(--program "$program" --program-label PENDREL)
            else
                echo "no figure of the real program: its stick or X server could not be set up" >&2
            fi
        fi
        fuse=()
        if [ -n "$fuse_tree" ]; then
            . "$stick_sh"
            if make_stick exfat "$fuse_image" "$fuse_target" STICK 512M; then
                fuse=(--fuse-tree "$fuse_tree" --fuse-target "$fuse_target" --fuse-kind "exFAT stick through FUSE")
            else
                echo "no FUSE figure: the exFAT stick could not be mounted" >&2
            fi
        fi
        status=0
        "$@" --target "$target" --target-kind "$kind" "${fuse[@]}" "${real[@]}" || status=$?
        [ ${#fuse[@]} -eq 0 ] || remove_stick "$fuse_target"
        for pid in "${x[@]}"; do kill "$pid" 2>/dev/null; done
        exit $status
    ' run-on-stick "$image" "$target" "$fuse_tree" "$fuse_image" "$fuse_target" \
        "$(cd "$(dirname "$0")/.." && pwd)/tests/common/stick.sh" "$program" "$bin/savebench" "${args[@]}"
else
    "$bin/savebench" "${args[@]}" --target "$target" \
        --target-kind "plain directory: no stick image (needs root, unshare, mkfs.ext4)"
fi
