#!/usr/bin/env bash
# The built program as a user runs it: a real X server with a window manager,
# a labelled ext4 stick (for the last run an exFAT one, through FUSE) mounted
# under /media/root/STICK in a private mount namespace, the window closed through the window manager (or SIGTERM), and
# message boxes answered from the keyboard.
#
#   e2e_window.sh PATH_TO_PENDREL
#
# Exit status 77 (skipped) when not root, a tool is missing or mount
# namespaces are not available.
set -euo pipefail

PENDREL_E2E_STICK_SIZE=16M
source "$(dirname "$0")/../common/e2e.sh"

# --- two working trees beside the program
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

# The run ended well with one dated folder holding the changed files of
# tree $2, and sichern.txt written back unchanged.
expect_saved() {
    [ "$status" = 0 ] || fail "run $1 ended with status $status"
    mapfile -t folders < <(folders_on_stick)
    [ "${#folders[@]}" = 1 ] || fail "run $1 made ${#folders[@]} folders"
    check_saved "${folders[0]}" "$2"
    cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run $1 changed sichern.txt"
    echo "run $1: saved into ${folders[0]}"
}

# --- 1: the right stick (name in other case), closed by the window manager
write_settings stick
start_program
change_files one
wmctrl -i -c "$main_window"
wait_for_program
expect_saved 1 one
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
expect_saved 3 three
rm -rf -- "${stick:?}/${folders[0]}"

# --- 4: an exFAT stick through FUSE: a name it refuses and a clash in case only
command -v mount.exfat-fuse >/dev/null || skip "mount.exfat-fuse is not installed (scripts/setup.sh installs it)"
replace_stick exfat
start_program
change_files four
printf 'Letter\n' >"$tree2/Brief.doc"
printf 'at 10:15\n' >"$tree1/10:15 notes.txt"
wmctrl -i -c "$main_window"
answer_box Return # "1 file was saved under another name"
wait_for_program
[ "$status" = 0 ] || fail "run 4 ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "run 4 made ${#folders[@]} folders"
saved="$stick/${folders[0]}"
found=$(ls -A "$saved" | LC_ALL=C sort | tr '\n' ' ')
[ "$found" = "10_15 notes.txt Brief (2).doc brief.doc data-four.bin notiz.txt " ] || fail "run 4 saved '$found'"
for pair in "$tree1/briefe/brief.doc|brief.doc" "$tree2/Brief.doc|Brief (2).doc" "$tree1/data-four.bin|data-four.bin" \
    "$tree1/10:15 notes.txt|10_15 notes.txt" "$tree2/notiz.txt|notiz.txt"; do
    source=${pair%%|*} copy="$saved/${pair#*|}"
    cmp "$source" "$copy" || fail "run 4: $copy differs"
    # exfat-fuse keeps whole seconds.
    [ "$(stat -c %Y "$source")" = "$(stat -c %Y "$copy")" ] || fail "run 4: $copy: mtime not kept"
done
echo "run 4: saved onto exFAT into ${folders[0]}"
