#!/usr/bin/env bash
# The installed program run by a normal user: `cmake --install` into a prefix
# owned by root, a new user (useradd -m, home on a tmpfs over /home) who
# starts it with runuser under Xvfb with openbox, and the user's ext4 sticks
# mounted below /media/USER/ in a private mount namespace, beside root's
# stick, which the user's program must not offer.
#
#   e2e_user.sh PATH_TO_PENDREL CMAKE
#
# Run 1 starts without settings, picks a stick plugged in after the start in
# Drive1, adds it and names the target stick; run 2 reads that list back from
# ~/.config/pendrel/ and opens the installed read-me.
#
# Exit status 77 (skipped) when not root, a tool is missing or mount
# namespaces are not available.
set -euo pipefail

for tool in useradd userdel runuser xprop; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
cmake=$2
source "$(dirname "$0")/../common/e2e.sh"

user=pendrel-e2e-$$
prefix=$(mktemp -d)
user_pids=()
user_mounts=()
cleanup_user() {
    for pid in "${user_pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    for point in "${user_mounts[@]}"; do umount "$point" 2>/dev/null || true; done
    if id "$user" >/dev/null 2>&1; then userdel -r -f "$user" 2>/dev/null || true; fi
    umount /home 2>/dev/null || true
    # Qt's runtime folder when there is no XDG_RUNTIME_DIR
    rm -rf -- "$prefix" "/tmp/runtime-$user"
}
trap 'cleanup_user; cleanup' EXIT

fail() {
    echo "FAIL: $*" >&2
    if [ -s "$work/pendrel.log" ]; then sed 's/^/pendrel: /' "$work/pendrel.log" >&2; fi
    exit 1
}

# --- installed by root: the user cannot write into the prefix
chmod 755 "$prefix"
"$cmake" --install "$(dirname "$binary")" --prefix "$prefix" >/dev/null
mount -t tmpfs -o mode=0755 tmpfs /home
useradd -m -d "/home/$user" -s /bin/sh "$user"
home=/home/$user
as_user() { runuser -u "$user" -- "$@"; }
as_user test ! -w "$prefix/bin" || fail "the user can write into $prefix/bin"

# What the desktop would open the read-me with.
mkdir "$home/bin"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >>"$HOME/opened"\n' >"$home/bin/xdg-open"
chmod 755 "$home/bin/xdg-open"

plug_stick() { # label: an ext4 stick of the user's, mounted as udisks would
    local point="/media/$user/$1"
    truncate -s 16M "$work/$1.img"
    # 256-byte inodes keep nanoseconds, as on a real stick: a file of run 1
    # must not look changed in the second in which run 2 starts.
    mkfs.ext4 -q -I 256 -L "$1" -E root_owner="$(id -u "$user"):$(id -g "$user")" "$work/$1.img"
    mkdir -p "$point"
    mount -o loop "$work/$1.img" "$point"
    user_mounts=("$point" "${user_mounts[@]}")
}

user_program() { # pid of the program started by runuser
    ps -o pid=,comm= --ppid "$runner" | awk '$2 == "pendrel" { print $1 }' | grep .
}

start_as_user() {
    (cd "$home" && exec runuser -u "$user" -- env -u XDG_CONFIG_HOME -u XDG_RUNTIME_DIR \
        PATH="$home/bin:/usr/bin:/bin" "$prefix/bin/pendrel") >"$work/pendrel.log" 2>&1 &
    runner=$!
    user_pids+=("$runner")
    wait_until user_program >/dev/null || fail "the program did not start"
    program=$(user_program)
    user_pids+=("$program")
    main_window=""
    wait_until program_window >/dev/null || fail "no window appeared"
}

main_window_of_program() { # the first window, when it is the main window and not a box
    local id type
    id=$(program_window) && type=$(xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null) || return 1
    [[ "$type" == *_NORMAL* && "$type" != *_DIALOG* ]] && echo "$id"
}
ended_or_box() { program_ended || has_box; }

# Closes the window; the run must end without any message box. Sets status.
close_window() {
    wmctrl -i -c "$main_window"
    wait_until ended_or_box || fail "run $1: the program did not end"
    if ! program_ended; then fail "run $1: a message box appeared on closing"; fi
    status=0
    wait "$runner" 2>/dev/null || status=$?
    [ "$status" = 0 ] || fail "run $1 ended with status $status"
}

copied_since() { # marker: the names of the files saved onto DAYSTICK since it was touched
    find "/media/$user/DAYSTICK" -mindepth 2 -type f -cnewer "$1" -printf '%f\n' | sort | tr '\n' ' '
}

settings="$home/.config/pendrel/sichern.txt"
plug_stick DAYSTICK

# --- 1: no settings yet; the stick WORK is plugged in after the start
touch "$work/run1.start"
start_as_user
main_window_of_program >/dev/null && fail "run 1: no message about the missing settings"
answer_box Return
wait_until main_window_of_program >/dev/null || fail "run 1: the main window did not appear"
main_window=$(main_window_of_program)
plug_stick WORK
# Only root may read lost+found: as a working directory it would not be saved.
rmdir "/media/$user/WORK/lost+found"
as_user sh -c 'echo one >"$1/one.txt" && echo old >"$1/old.txt" && touch -d "-1 day" "$1/old.txt"' sh "/media/$user/WORK"
wmctrl -i -a "$main_window"
sleep 0.5
# From the list, Shift+Tab twice reaches Drive1; WORK sorts last.
xdotool key --clearmodifiers shift+Tab shift+Tab End alt+a
sleep 0.3
xdotool key --clearmodifiers alt+d ctrl+a
xdotool type --delay 20 DAYSTICK
close_window 1

[ "$(copied_since "$work/run1.start")" = "one.txt " ] || fail "run 1 saved '$(copied_since "$work/run1.start")'"
printf 'DAYSTICK\r\n/media/%s/WORK\r\n' "$user" | cmp - "$settings" || fail "run 1: $settings"
for dir in "$home/.config" "$home/.config/pendrel"; do
    [ "$(stat -c '%a %U' "$dir")" = "700 $user" ] || fail "$dir: $(stat -c '%a %U' "$dir")"
done
[ "$(ls -A "$prefix/bin")" = pendrel ] || fail "run 1 wrote into $prefix/bin: $(ls -A "$prefix/bin")"
[ -z "$(folders_on_stick)" ] || fail "run 1 saved onto root's stick"
echo "run 1: saved, list kept in $settings"
cp "$settings" "$work/sichern.expected"

# --- 2: the list is read back; "?" opens the installed read-me
touch "$work/run2.start"
start_as_user
wait_until main_window_of_program >/dev/null || fail "run 2: a message box at the start"
main_window=$(main_window_of_program)
as_user sh -c 'echo two >"$1/two.txt"' sh "/media/$user/WORK"
wmctrl -i -a "$main_window"
sleep 0.3
xdotool key --clearmodifiers shift+Tab space
wait_until test -s "$home/opened" || fail "run 2: the read-me was not opened"
[ "$(cat "$home/opened")" = "file://$prefix/share/doc/pendrel/Readme.txt" ] || fail "opened '$(cat "$home/opened")'"
close_window 2

[ "$(copied_since "$work/run2.start")" = "two.txt " ] || fail "run 2 saved '$(copied_since "$work/run2.start")'"
cmp "$settings" "$work/sichern.expected" || fail "run 2 changed $settings"
echo "run 2: read the list back, opened the read-me, saved"
