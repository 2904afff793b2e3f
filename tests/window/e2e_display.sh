#!/usr/bin/env bash
# The display goes away under the built program (the X server or the Wayland
# compositor killed, as when a session ends without asking its programs), for
# each kind of display: idle, the day is saved unasked onto the matching stick
# only; during a save, the save runs to its end, each file copied once.
#
#   e2e_display.sh PATH_TO_PENDREL
#
# Exit status 77 (skipped) when not root, a tool is missing or mount
# namespaces are not available.
set -euo pipefail

PENDREL_E2E_STICK_SIZE=64M
source "$(dirname "$0")/../common/e2e.sh"
for tool in weston fsfreeze; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
trap 'fsfreeze --unfreeze "$stick" 2>/dev/null || true; cleanup' EXIT

tree="$work/texte"
mkdir -p "$tree"
for i in $(seq 24); do head -c 1M /dev/urandom >"$tree/f$i.bin"; done
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

start_weston() { # a headless compositor ($weston); WAYLAND_DISPLAY names its socket
    export WAYLAND_DISPLAY=pendrel-e2e
    rm -f "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY.lock"
    weston --backend=headless-backend.so --shell=kiosk-shell.so --no-config --socket="$WAYLAND_DISPLAY" \
        --log="$work/weston.log" &
    weston=$!
    pids+=($!)
    wait_until test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" || fail "weston did not start"
}

program_shown() {
    if [ "$kind" = wayland ]; then
        grep -q 'xdg_toplevel@[0-9]*\.set_title("Pendrel")' "$work/pendrel.log"
    else
        program_window >/dev/null
    fi
}

kill_display() { # what: ends the display under the program, then starts a new one
    local display=$xvfb report="The X11 connection broke"
    [ "$kind" = x11 ] || { display=$weston; report="The Wayland connection broke"; }
    kill -TERM "$display"
    wait_until process_gone "$display" || fail "$1: the display did not end"
    fsfreeze --unfreeze "$stick" 2>/dev/null || true
    wait_for_program
    grep -q "$report" "$work/pendrel.log" || fail "$1: the program did not see the display go"
    if [ "$kind" = x11 ]; then start_display; else start_weston; fi
}

whole() { # folder: every copy equals its source; prints the names
    for copy in "$stick/$1"/*; do
        [ -e "$copy" ] || continue
        cmp -s "$copy" "$tree/$(basename "$copy")" || fail "$(basename "$copy") is not whole"
        basename "$copy"
    done
}

waiting_for_stick() { [ "$(awk '{ print $3 }' "/proc/$program/stat")" = D ]; }

for kind in x11 wayland; do
    if [ "$kind" = wayland ]; then
        export QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client
        start_weston
    fi

    # --- 1: idle, the matching stick: saved unasked
    write_settings stick
    start_program
    echo one >"$tree/one.txt"
    kill_display "$kind run 1"
    mapfile -t folders < <(folders_on_stick)
    [ "${#folders[@]}" = 1 ] || fail "$kind run 1 made ${#folders[@]} folders"
    [ "$(whole "${folders[0]}")" = one.txt ] || fail "$kind run 1 saved '$(whole "${folders[0]}")'"
    cmp "$app/sichern.txt" "$work/sichern.expected" || fail "$kind run 1: sichern.txt"
    [ ! -e "$record" ] || fail "$kind run 1 left its run outstanding"
    echo "$kind run 1: the display gone, one.txt saved unasked"
    rm -rf -- "${stick:?}/${folders[0]}"

    # --- 2: idle, another name: nothing saved, the name written, the run outstanding
    write_settings OTHER
    start_program
    echo two >"$tree/two.txt"
    kill_display "$kind run 2"
    [ -z "$(folders_on_stick)" ] || fail "$kind run 2 saved onto a stick of another name"
    cmp "$app/sichern.txt" "$work/sichern.expected" || fail "$kind run 2: sichern.txt"
    [ -s "$record" ] || fail "$kind run 2 left no record"
    echo "$kind run 2: another name, nothing saved, the run recorded"

    # --- 3: during a save of 24 files (and two.txt of run 2): it runs to its end
    write_settings STICK
    start_program
    touch "$tree"/f*.bin
    # The stick frozen, the save waits in its first write while the display
    # goes, so it cannot end first.
    fsfreeze --freeze "$stick"
    kill -TERM "$program" # a close, with a window on the screen
    wait_until waiting_for_stick || fail "$kind run 3: the save did not wait for the stick"
    kill_display "$kind run 3"
    mapfile -t folders < <(folders_on_stick)
    [ "${#folders[@]}" = 1 ] || fail "$kind run 3 made ${#folders[@]} folders"
    copied=$(whole "${folders[0]}")
    [ "$(wc -l <<<"$copied")" = 25 ] || fail "$kind run 3 saved $(wc -l <<<"$copied") of 25 files"
    grep -q "the save goes on without it" "$work/pendrel.log" || fail "$kind run 3 did not see the display go"
    [ ! -e "$record" ] || fail "$kind run 3 left its run outstanding"
    cmp "$app/sichern.txt" "$work/sichern.expected" || fail "$kind run 3: sichern.txt"
    echo "$kind run 3: the display gone during the save, all 25 files saved once before the end"
    rm -rf -- "${stick:?}/${folders[0]}"
done
