#!/usr/bin/env bash
# Process faults on the built program, under Xvfb with openbox and a labelled
# ext4 stick in a private mount namespace: close requests repeated during the
# save, kill -9 during the save, SIGTERM while a message box is open.
#
#   e2e_faults.sh PATH_TO_PENDREL
#
# Exit status 77 (skipped) when not root, a tool is missing or mount
# namespaces are not available.
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
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    umount /media/root/STICK 2>/dev/null || true
    umount /media 2>/dev/null || true
    rm -rf -- "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

wait_until() { # polls "$@" every 0.02 s for up to 20 s
    for _ in $(seq 1000); do
        "$@" && return 0
        sleep 0.02
    done
    return 1
}

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

stick=/media/root/STICK
mount -t tmpfs tmpfs /media
mkdir -p "$stick"
truncate -s 600M "$work/stick.img"
mkfs.ext4 -q -L STICK "$work/stick.img"
mount -o loop "$work/stick.img" "$stick"

app="$work/app"
tree="$work/texte"
mkdir -p "$app" "$tree/sub"
cp "$binary" "$app/pendrel"
head -c 16M /dev/urandom >"$work/block"

write_settings() { # name
    printf '%s\r\n%s\r\n' "$1" "$tree" >"$app/sichern.txt"
    cp "$app/sichern.txt" "$work/sichern.expected"
}

# About 400 MB in 24 files, so that a save lasts long enough to be hit.
change_files() { # tag
    for i in $(seq 24); do
        { echo "$1 $i"; cat "$work/block"; } >"$tree/sub/f$i.bin"
    done
    echo "$1" >"$tree/note-$1.txt"
}

folders_on_stick() {
    find "$stick" -mindepth 1 -maxdepth 1 -type d ! -name lost+found -printf '%f\n' | sort
}

start_program() {
    (cd "$app" && exec ./pendrel) >"$work/pendrel.log" 2>&1 &
    program=$!
    pids+=("$program")
    wait_until program_window >/dev/null || fail "the window did not appear"
    main_window=$(program_window)
}

program_window() {
    wmctrl -lp | awk -v pid="$program" '$3 == pid && $5 == "Pendrel" { print $1; exit }' | grep .
}

message_boxes() { # ids of Pendrel windows other than the main window
    wmctrl -lp | awk -v pid="$program" -v main="$main_window" '$3 == pid && $5 == "Pendrel" && $1 != main { print $1 }'
}

has_box() { [ -n "$(message_boxes)" ]; }
window_gone() { ! wmctrl -l | grep -qi "^$1 "; }

answer_box() { # keys...
    local box
    wait_until has_box || fail "no message box appeared"
    box=$(message_boxes | head -n1)
    wmctrl -i -a "$box"
    sleep 0.3
    xdotool key --clearmodifiers "$@"
    wait_until window_gone "$box" || fail "message box $box stayed open"
}

program_ended() {
    local state
    state=$(ps -o stat= -p "$program" || true)
    [ -z "$state" ] || [[ "$state" == Z* ]]
}

wait_for_program() { # sets status
    wait_until program_ended || fail "the program did not end"
    status=0
    wait "$program" 2>/dev/null || status=$?
}

saving_started() { # a copy, finished or not, is in the newest folder
    local folder
    folder=$(folders_on_stick | tail -n1)
    [ -n "$folder" ] && [ -n "$(ls -A "$stick/$folder")" ]
}

# Every file under a real name is whole; prints how many there are.
check_whole() { # folder
    local saved=0 name source
    for copy in "$stick/$1"/*; do
        [ -e "$copy" ] || continue
        name=$(basename "$copy")
        source=$(find "$tree" -name "$name" -print -quit)
        [ -n "$source" ] || fail "$name has no source"
        cmp -s "$source" "$copy" || fail "$name is not whole"
        saved=$((saved + 1))
    done
    echo "$saved"
}

# --- 1: more close requests (window manager, SIGTERM) during the save are ignored
write_settings STICK
start_program
change_files one
wmctrl -i -c "$main_window"
wait_until saving_started || fail "run 1: the save did not start"
program_ended && fail "run 1: the save ended before the second request"
wmctrl -i -c "$main_window" || true
kill -TERM "$program"
wait_for_program
[ "$status" = 0 ] || fail "run 1 ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "run 1 made ${#folders[@]} folders"
[ "$(check_whole "${folders[0]}")" = 25 ] || fail "run 1 did not save all 25 files"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 1 changed sichern.txt"
[ -z "$(ls -A "$app" | grep -v -x -e pendrel -e sichern.txt)" ] || fail "run 1 left files beside sichern.txt"
echo "run 1: second close and SIGTERM ignored, one folder, all saved"
rm -rf -- "${stick:?}/${folders[0]}"

# --- 2: kill -9 during the save
printf 'STICK\r\n%s\r\n%s\r\n' "$tree" "$work" >"$app/sichern.txt"
cp "$app/sichern.txt" "$work/sichern.old"
start_program
change_files two
wmctrl -i -c "$main_window"
wait_until saving_started || fail "run 2: the save did not start"
kill -9 "$program"
wait_for_program
[ "$status" = 137 ] || fail "run 2 was not killed (status $status): the save ended first"
cmp "$app/sichern.txt" "$work/sichern.old" || fail "run 2: sichern.txt is not the old file"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "run 2 made ${#folders[@]} folders"
saved=$(check_whole "${folders[0]}")
[ "$saved" -lt 25 ] || fail "run 2: the kill came after the save"
echo "run 2: killed after $saved of 25 copies; sichern.txt old and whole, no partial copy"

# --- 3: the next run saves again, into a new folder
sleep 1
write_settings STICK
start_program
echo three >"$tree/after-kill.txt"
wmctrl -i -c "$main_window"
wait_for_program
[ "$status" = 0 ] || fail "run 3 ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 2 ] || fail "run 3 made no new folder"
[ "$(ls "$stick/${folders[1]}")" = after-kill.txt ] || fail "run 3 saved '$(ls "$stick/${folders[1]}")'"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 3: sichern.txt"
echo "run 3: saved into a new folder ${folders[1]}"

# --- 4: SIGTERM while the wrong-stick box is open: no second sequence
write_settings OTHER
start_program
wmctrl -i -c "$main_window"
wait_until has_box || fail "run 4: no message box"
kill -TERM "$program"
sleep 0.5
[ "$(message_boxes | wc -l)" = 1 ] || fail "run 4: SIGTERM opened another box"
program_ended && fail "run 4: SIGTERM ended the program with a box open"
answer_box Return # Abort
answer_box Return # Yes: do not save
wait_for_program
[ "$status" = 0 ] || fail "run 4 ended with status $status"
[ "$(folders_on_stick | wc -l)" = 2 ] || fail "run 4 saved something"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 4 changed sichern.txt"
echo "run 4: SIGTERM with a box open ran nothing twice"
