#!/usr/bin/env bash
# One Pendrel per user, with the built program under Xvfb and openbox: a
# program killed with SIGKILL leaves its lock and socket behind, and the next
# start runs all the same; a start while one runs shows "Pendrel is already
# running.", brings the running window back from the task bar and ends with
# status 0; the running one then still saves when it is closed.
#
#   e2e_single_instance.sh PATH_TO_PENDREL
#
# Exit status 77 (skipped) when not root, a tool is missing or mount
# namespaces are not available.
set -euo pipefail

source "$(dirname "$0")/../common/e2e.sh"
command -v xprop >/dev/null || skip "xprop is not installed"

tree="$work/texte"
mkdir -p "$tree"
printf 'STICK\r\n%s\r\n' "$tree" >"$app/sichern.txt"

pendrel_window_of() { # pid: its first window titled Pendrel
    wmctrl -lp | awk -v pid="$1" '$3 == pid && $5 == "Pendrel" { print $1; exit }' | grep .
}
minimized() { xprop -id "$main_window" _NET_WM_STATE | grep -q _NET_WM_STATE_HIDDEN; }
shown() { ! minimized; }

# --- a killed program's lock and socket do not block the next start
start_program
kill -9 "$program"
# Not yet waited for: the killed program stays a zombie during the next start.
[ -e "$XDG_RUNTIME_DIR/pendrel.lock" ] && [ -S "$XDG_RUNTIME_DIR/pendrel.socket" ] || fail "no lock or socket in $XDG_RUNTIME_DIR"
start_program
sleep 0.3
[ -z "$(message_boxes)" ] || fail "a box at the start after a killed one"
first=$program
echo "started again after SIGKILL"

# --- a second start while it runs, the lock as old as after a day's work
touch -d '-10 hours' "$XDG_RUNTIME_DIR/pendrel.lock"
xdotool windowminimize "$main_window"
wait_until minimized || fail "the window could not be minimized"
(cd "$app" && exec ./pendrel) >"$work/second.log" 2>&1 &
second=$!
pids+=("$second")
wait_until pendrel_window_of "$second" >/dev/null || fail "the second start showed no box"
box=$(pendrel_window_of "$second")
wait_until shown || fail "the running window stayed minimized"
wmctrl -i -a "$box"
sleep 0.3
xdotool key --clearmodifiers Return
program=$second
wait_for_program
[ "$status" = 0 ] || fail "the second start ended with status $status"
grep -q . "$work/second.log" && fail "the second start wrote: $(cat "$work/second.log")"
program=$first
program_ended && fail "the running program ended"
echo "second start: told, running window shown, ended with 0"

# --- the first one still saves at its close
echo letter >"$tree/brief.doc"
wmctrl -i -c "$main_window"
wait_for_program
[ "$status" = 0 ] || fail "the close ended with status $status"
mapfile -t folders < <(folders_on_stick)
[ "${#folders[@]}" = 1 ] || fail "${#folders[@]} folders on the stick"
cmp "$tree/brief.doc" "$stick/${folders[0]}/brief.doc" || fail "brief.doc was not saved"
echo "the running one saved into ${folders[0]}"
