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

# About 400 MB are saved per run, so that a save lasts long enough to be hit.
PENDREL_E2E_STICK_SIZE=600M
source "$(dirname "$0")/../common/e2e.sh"

tree="$work/texte"
mkdir -p "$tree/sub"
head -c 16M /dev/urandom >"$work/block"

write_settings() { # name
    printf '%s\r\n%s\r\n' "$1" "$tree" >"$app/sichern.txt"
    cp "$app/sichern.txt" "$work/sichern.expected"
}

change_files() { # tag
    for i in $(seq 24); do
        { echo "$1 $i"; cat "$work/block"; } >"$tree/sub/f$i.bin"
    done
    echo "$1" >"$tree/note-$1.txt"
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
[ -s "$app/.pendrel-outstanding" ] || fail "run 2 left no record of its start"
echo "run 2: killed after $saved of 25 copies; sichern.txt old and whole, no partial copy"

# --- 3: the next run saves again, into a new folder, with what run 2 left unsaved
sleep 1
# Still changed since run 2 started, but quick to copy.
for f in "$tree"/sub/f*.bin; do echo small >"$f"; done
write_settings STICK
start_program
echo three >"$tree/after-kill.txt"
wmctrl -i -c "$main_window"
wait_for_program
[ "$status" = 0 ] || fail "run 3 ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 2 ] || fail "run 3 made no new folder"
[ "$(check_whole "${folders[1]}")" = 26 ] || fail "run 3 saved '$(ls "$stick/${folders[1]}")'"
[ -e "$stick/${folders[1]}/after-kill.txt" ] && [ -e "$stick/${folders[1]}/note-two.txt" ] \
    || fail "run 3 missed its own or run 2's files"
[ ! -e "$app/.pendrel-outstanding" ] || fail "run 3 left the record of run 2"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 3: sichern.txt"
echo "run 3: saved run 2's files and its own into a new folder ${folders[1]}"

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
