#!/usr/bin/env bash
# The built program as a user runs it: a real X server with a window manager,
# a labelled ext4 stick mounted under /media/root/STICK in a private mount
# namespace, the window closed through the window manager (or SIGTERM), and
# message boxes answered from the keyboard.
#
#   e2e_window.sh PATH_TO_PENDREL
#
# Exit status 77 (skipped) when not root or when mount namespaces are not
# available.
set -euo pipefail

binary=$(readlink -f "$1")

skip() { echo "SKIP: $*"; exit 77; }

if [ -z "${PENDREL_E2E_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || skip "needs root to mount a volume image"
    for tool in unshare Xvfb openbox wmctrl xdotool mkfs.ext4; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    unshare -m --propagation private true 2>/dev/null || skip "no mount namespaces here (unshare -m failed)"
    PENDREL_E2E_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    umount /media/root/STICK 2>/dev/null || true
    umount /media 2>/dev/null || true
    rm -rf -- "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Polls "$@" every 0.1 s for up to 20 s.
wait_until() {
    for _ in $(seq 200); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# --- display and window manager
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
wait_until grep -q . "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wait_until wmctrl -m >/dev/null 2>&1 || fail "openbox did not start"
export QT_QPA_PLATFORM=xcb

# --- the stick
mount -t tmpfs tmpfs /media
mkdir -p /media/root/STICK
truncate -s 16M "$work/stick.img"
mkfs.ext4 -q -L STICK "$work/stick.img"
mount -o loop "$work/stick.img" /media/root/STICK
stick=/media/root/STICK

# --- the program beside its settings, and two working trees
app="$work/app"
mkdir -p "$app"
cp "$binary" "$app/pendrel"
tree1="$work/texte"
tree2="$work/caf"$'\xe9'
mkdir -p "$tree1/briefe" "$tree2"
echo old >"$tree1/old.txt"
echo old >"$tree2/old2.txt"
touch -d '-1 day' "$tree1/old.txt" "$tree2/old2.txt"

write_settings() { # name
    printf '%s\r\n%s\r\n%s\r\n' "$1" "$tree1" "$tree2" >"$app/sichern.txt"
    cp "$app/sichern.txt" "$work/sichern.expected"
}

change_files() { # tag
    printf 'letter %s\n' "$1" >"$tree1/briefe/brief.doc"
    head -c 70000 /dev/urandom >"$tree1/data-$1.bin"
    printf 'note %s\n' "$1" >"$tree2/notiz.txt"
    echo hidden >"$tree1/.hidden-$1"
}

folders_on_stick() {
    find "$stick" -mindepth 1 -maxdepth 1 -type d ! -name lost+found -printf '%f\n' | sort
}

main_window=""
start_program() {
    (cd "$app" && exec ./pendrel) >"$work/pendrel.log" 2>&1 &
    program=$!
    pids+=("$program")
    wait_until program_window >/dev/null || fail "the window did not appear"
    main_window=$(program_window)
}

program_window() { # id of the first window of the program titled Pendrel
    wmctrl -lp | awk -v pid="$program" '$3 == pid && $5 == "Pendrel" { print $1; exit }' | grep .
}

message_box() { # id of a Pendrel window other than the main window
    wmctrl -lp | awk -v pid="$program" -v main="$main_window" \
        '$3 == pid && $5 == "Pendrel" && $1 != main { print $1; exit }' | grep .
}

answer_box() { # keys...
    local box
    wait_until message_box >/dev/null || fail "no message box appeared"
    box=$(message_box)
    wmctrl -i -a "$box"
    sleep 0.3
    xdotool key --clearmodifiers "$@"
    wait_until bash -c "! wmctrl -l | grep -qi '^$box '" || fail "message box $box stayed open"
}

program_ended() { # gone, or a zombie waiting for us
    local state
    state=$(ps -o stat= -p "$program" || true)
    [ -z "$state" ] || [[ "$state" == Z* ]]
}

wait_for_program() { # sets status
    wait_until program_ended || fail "the program did not end"
    status=0
    wait "$program" || status=$?
}

check_saved() { # folder
    local folder="$1" name
    [[ "$folder" =~ ^[0-9]{2}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}$ ]] || fail "backup folder name '$folder'"
    local expected="brief.doc data-$2.bin notiz.txt"
    local found
    found=$(ls -A "$stick/$folder" | sort | tr '\n' ' ')
    [ "$found" = "$(tr ' ' '\n' <<<"$expected" | sort | tr '\n' ' ')" ] || fail "saved '$found', expected '$expected'"
    for source in "$tree1/briefe/brief.doc" "$tree1/data-$2.bin" "$tree2/notiz.txt"; do
        name=$(basename "$source")
        cmp "$source" "$stick/$folder/$name" || fail "$name differs"
        [ "$(stat -c %y "$source")" = "$(stat -c %y "$stick/$folder/$name")" ] || fail "$name: mtime not kept"
    done
}

# --- 1: the right stick (name in other case), closed by the window manager
write_settings stick
start_program
change_files one
wmctrl -i -c "$main_window"
wait_for_program
[ "$status" = 0 ] || fail "run 1 ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "run 1 made ${#folders[@]} folders"
check_saved "${folders[0]}" one
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 1 changed sichern.txt"
echo "run 1: saved into ${folders[0]}"
rm -rf -- "${stick:?}/${folders[0]}"

# --- 2: the wrong stick: Abort (the default), then Yes (the default)
write_settings OTHER
start_program
change_files two
wmctrl -i -c "$main_window"
answer_box Return
answer_box Return
wait_for_program
[ "$status" = 0 ] || fail "run 2 ended with status $status"
[ -z "$(folders_on_stick)" ] || fail "run 2 copied something"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 2 changed sichern.txt"
echo "run 2: nothing saved"

# --- 3: SIGTERM while idle saves
write_settings STICK
start_program
change_files three
kill -TERM "$program"
wait_for_program
[ "$status" = 0 ] || fail "run 3 ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "run 3 made ${#folders[@]} folders"
check_saved "${folders[0]}" three
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 3 changed sichern.txt"
echo "run 3: saved into ${folders[0]}"
