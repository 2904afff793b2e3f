#!/usr/bin/env bash
# The display goes away under the built program (the X server killed, as when a
# session ends without asking its programs): idle, the day is saved unasked onto
# the matching stick only; during a save, what was copied stays single and the
# rest is caught up at the next close.
#
#   e2e_display.sh PATH_TO_PENDREL
#
# Exit status 77 (skipped) when not root, a tool is missing or mount
# namespaces are not available.
set -euo pipefail

PENDREL_E2E_STICK_SIZE=1G
source "$(dirname "$0")/../common/e2e.sh"

tree="$work/texte"
mkdir -p "$tree"
record="$app/.pendrel-outstanding"

write_settings() { # name
    printf '%s\r\n%s\r\n' "$1" "$tree" >"$app/sichern.txt"
    cp "$app/sichern.txt" "$work/sichern.expected"
}

process_gone() { # pid: gone, or a zombie
    local state
    state=$(ps -o stat= -p "$1" || true)
    [ -z "$state" ] || [[ "$state" == Z* ]]
}

kill_display() {
    kill -TERM "$xvfb"
    wait_until process_gone "$xvfb" || fail "$1: Xvfb did not end"
    kill -CONT "$program" 2>/dev/null || true
    wait_for_program
    grep -q "The X11 connection broke" "$work/pendrel.log" || fail "$1: the program did not see the display go"
    start_display
}

whole() { # folder: every copy equals its source; prints the names
    for copy in "$stick/$1"/*; do
        [ -e "$copy" ] || continue
        cmp -s "$copy" "$tree/$(basename "$copy")" || fail "$(basename "$copy") is not whole"
        basename "$copy"
    done
}

# --- 1: idle, the matching stick: saved unasked
write_settings stick
start_program
echo one >"$tree/one.txt"
kill_display "run 1"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "run 1 made ${#folders[@]} folders"
[ "$(whole "${folders[0]}")" = one.txt ] || fail "run 1 saved '$(whole "${folders[0]}")'"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 1: sichern.txt"
[ ! -e "$record" ] || fail "run 1 left its run outstanding"
echo "run 1: the display gone, one.txt saved unasked"
rm -rf -- "${stick:?}/${folders[0]}"

# --- 2: idle, another name: nothing saved, the name written, the run outstanding
write_settings OTHER
start_program
echo two >"$tree/two.txt"
kill_display "run 2"
[ -z "$(folders_on_stick)" ] || fail "run 2 saved onto a stick of another name"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 2: sichern.txt"
[ -s "$record" ] || fail "run 2 left no record"
echo "run 2: another name, nothing saved, the run recorded"

# --- 3: during a save of 24 files: no copy twice, the rest at the next close
write_settings STICK
start_program
for i in $(seq 24); do head -c 16M /dev/urandom >"$tree/f$i.bin"; done
wmctrl -i -c "$main_window"
copying() { local f; f=$(folders_on_stick | head -n1); [ -n "$f" ] && [ -n "$(ls -A "$stick/$f")" ]; }
wait_until copying || fail "run 3: the save did not start"
# Held while the display goes, so the save cannot end first.
kill -STOP "$program"
kill_display "run 3"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "run 3 made ${#folders[@]} folders"
copied=$(whole "${folders[0]}")
! grep -q ' (2)' <<<"$copied" || fail "run 3 copied a file twice: $copied"
[ -s "$record" ] || fail "run 3 left no record"
cmp "$app/sichern.txt" "$work/sichern.expected" || fail "run 3: sichern.txt"
echo "run 3: $(wc -l <<<"$copied") of 25 files copied before the display went, none twice"

# --- 4: the next close saves everything since run 2's start
sleep 1
start_program
wmctrl -i -c "$main_window"
wait_for_program
[ "$status" = 0 ] || fail "run 4 ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 2 ] || fail "run 4 made no new folder"
[ "$(whole "${folders[1]}" | wc -l)" = 25 ] || fail "run 4 saved '$(whole "${folders[1]}")'"
[ ! -e "$record" ] || fail "run 4 left the record"
echo "run 4: two.txt and the 24 files of run 3 caught up"
