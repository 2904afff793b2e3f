# Sourced by the end-to-end scripts: the built program as a user runs it, under
# Xvfb with openbox, with a labelled ext4 stick mounted at $stick in a private
# mount namespace (replace_stick KIND swaps in an exFAT or NTFS one).
# Re-executes the calling script in that namespace, and in a PID namespace of
# its own when PENDREL_E2E_OWN_PIDS is set; exits 77 (skipped) when not root, a
# tool is missing or namespaces are unavailable.
#   source e2e.sh PATH_TO_PENDREL  -> $work, $app (holding ./pendrel), $stick

skip() { echo "SKIP: $*"; exit 77; }

if [ -z "${PENDREL_E2E_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || skip "needs root to mount a volume image"
    for tool in unshare Xvfb openbox wmctrl xdotool mkfs.ext4; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    namespaces=(-m --propagation private)
    # Whatever a test starts on the way (D-Bus activation, daemons) ends with
    # its PID namespace.
    [ -z "${PENDREL_E2E_OWN_PIDS:-}" ] || namespaces+=(--pid --fork --kill-child --mount-proc)
    unshare "${namespaces[@]}" true 2>/dev/null || skip "no namespaces here (unshare ${namespaces[*]} failed)"
    PENDREL_E2E_NAMESPACE=1 exec unshare "${namespaces[@]}" "$0" "$@"
fi

source "$(dirname "${BASH_SOURCE[0]}")/stick.sh"
binary=$(readlink -f "$1")
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    remove_stick /media/root/STICK 2>/dev/null || true
    umount /media 2>/dev/null || true
    rm -rf -- "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

wait_until() { # polls "$@" every 0.02 s for up to ${wait_seconds:-20} s
    for _ in $(seq $((${wait_seconds:-20} * 50))); do
        "$@" && return 0
        sleep 0.02
    done
    return 1
}

start_display() { # a new Xvfb ($xvfb) with openbox; DISPLAY points to it
    rm -f "$work/display"
    exec 3>"$work/display"
    # -noreset: when a session ends no client is left, and a server that
    # resets then refuses connections for a moment.
    Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb=$!
    pids+=($!)
    exec 3>&-
    wait_until grep -q . "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$work/display")"
    openbox --sm-disable >"$work/openbox.log" 2>&1 &
    pids+=($!)
    wait_until wmctrl -m >/dev/null 2>&1 || fail "openbox did not start"
}
start_display
export QT_QPA_PLATFORM=xcb
# One Pendrel runs per runtime folder: each test has its own.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

stick=/media/root/STICK
mount -t tmpfs tmpfs /media
mkdir -p "$stick"
make_stick ext4 "$work/stick.img" "$stick" STICK "${PENDREL_E2E_STICK_SIZE:-16M}" || fail "cannot make the stick"

replace_stick() { # KIND: unmounts the stick, mounts a new, empty one of KIND
    remove_stick "$stick" || fail "cannot unmount the stick"
    rm -f "$work/stick.img"
    make_stick "$1" "$work/stick.img" "$stick" STICK "${PENDREL_E2E_STICK_SIZE:-16M}" || fail "cannot make a $1 stick"
}

app="$work/app"
mkdir -p "$app"
cp "$binary" "$app/pendrel"

folders_on_stick() {
    find "$stick" -mindepth 1 -maxdepth 1 -type d ! -name lost+found -printf '%f\n' | sort
}

main_window=""
start_program() {
    (cd "$app" && exec ./pendrel) >"$work/pendrel.log" 2>&1 &
    program=$!
    pids+=("$program")
    wait_until program_shown || fail "the window did not appear"
    main_window=$(program_window || true)
}

program_shown() { program_window >/dev/null; } # a script may redefine it for another display

program_window() { # id of the first window of the program titled Pendrel
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

program_ended() { # gone, or a zombie waiting for us
    local state
    state=$(ps -o stat= -p "$program" || true)
    [ -z "$state" ] || [[ "$state" == Z* ]]
}

wait_for_program() { # sets status
    # A save of hundreds of megabytes onto a loop device of a busy machine
    # may take longer than a window takes to appear.
    wait_seconds=120 wait_until program_ended || fail "the program did not end"
    status=0
    wait "$program" 2>/dev/null || status=$?
}
