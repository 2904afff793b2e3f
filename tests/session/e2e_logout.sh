#!/usr/bin/env bash
# The built program ends with a session of a real XSMP session manager,
# xfce4-session, in a failsafe session of openbox and the program. A logout that
# lets it ask runs the close's dialogue: the matching stick is saved without a
# question, the wrong one only on the user's word. A logout nobody may answer
# saves only onto the matching stick. The settings are written in every case;
# a run not saved stays recorded.
#
#   e2e_logout.sh PATH_TO_PENDREL PATH_TO_XSMP_LOGOUT
#
# Exit status 77 (skipped) when not root, a tool is missing or namespaces are
# not available.
set -euo pipefail

for tool in xfce4-session xfce4-session-logout dbus-daemon; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
request_unasked_logout=$(readlink -f "$2")
PENDREL_E2E_OWN_PIDS=1
source "$(dirname "$0")/../common/e2e.sh"

fail() { # the session's output (the program's among it) tells why
    echo "FAIL: $*" >&2
    sed 's/^/session: /' "$work/session.log" >&2 2>/dev/null || true
    exit 1
}

tree="$work/texte"
record="$app/.pendrel-outstanding"
mkdir -p "$tree"
# A home of its own: no session, settings or autostart entries of the machine.
export HOME="$work/home" XDG_CONFIG_DIRS="$work/xdg" NO_AT_BRIDGE=1
export XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache" XDG_DATA_HOME="$HOME/.local/share"
channel="$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
mkdir -p "$channel" "$XDG_CONFIG_DIRS"
cat >"$channel/xfce4-session.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-session" version="1.0">
  <property name="general" type="empty">
    <property name="FailsafeSessionName" type="string" value="Failsafe"/>
    <property name="SaveOnExit" type="bool" value="false"/>
  </property>
  <property name="startup" type="empty">
    <property name="ssh-agent" type="empty"><property name="enabled" type="bool" value="false"/></property>
    <property name="gpg-agent" type="empty"><property name="enabled" type="bool" value="false"/></property>
  </property>
  <property name="sessions" type="empty">
    <property name="Failsafe" type="empty">
      <property name="IsFailsafe" type="bool" value="true"/>
      <property name="Count" type="int" value="2"/>
      <property name="Client0_Command" type="array">
        <value type="string" value="openbox"/><value type="string" value="--replace"/>
      </property>
      <property name="Client0_Priority" type="int" value="15"/>
      <property name="Client1_Command" type="array">
        <value type="string" value="sh"/><value type="string" value="-c"/>
        <value type="string" value="cd $app; ./pendrel; echo \$? >$work/status"/>
      </property>
      <property name="Client1_Priority" type="int" value="20"/>
    </property>
  </property>
</channel>
XML

start_session() { # a private session bus and xfce4-session; sets $program
    rm -rf "$XDG_CACHE_HOME" "$work/bus" "$work/status"
    dbus-daemon --session --nofork --nopidfile --address="unix:path=$work/bus" >"$work/dbus.log" 2>&1 &
    bus=$!
    pids+=("$bus")
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
    wait_until test -S "$work/bus" || fail "dbus-daemon did not start"
    xfce4-session >"$work/session.log" 2>&1 &
    session=$!
    pids+=("$session")
    wait_until pgrep -x pendrel >/dev/null || fail "xfce4-session did not start the program"
    program=$(pgrep -x pendrel)
    wait_until program_window >/dev/null || fail "the window did not appear"
    main_window=$(program_window)
    # Logouts are taken once the session has started all its clients.
    wait_until session_idle || fail "xfce4-session did not finish starting"
}

session_idle() {
    timeout 5 dbus-send --session --print-reply --dest=org.xfce.SessionManager /org/xfce/SessionManager \
        org.xfce.Session.Manager.GetState 2>/dev/null | grep -q 'uint32 1$'
}

box_or_end() { program_ended || has_box; }

end_session() { # how keys...: ends the session asked or unasked, answers boxes
    local how=$1 keys
    shift
    if [ "$how" = checkpoint ]; then
        # Saving the session, as Xfce's session settings do, is no end of it:
        # the name and list are written and the program goes on.
        timeout 20 dbus-send --session --print-reply --dest=org.xfce.SessionManager /org/xfce/SessionManager \
            org.xfce.Session.Manager.Checkpoint string: >/dev/null || fail "the checkpoint was refused"
        wait_until grep -q $'\r' "$app/sichern.txt" || fail "the checkpoint did not write sichern.txt"
        sleep 1
        ! program_ended || fail "the program ended at a checkpoint"
        [ -z "$(saved_files)" ] || fail "the checkpoint saved"
        how=asked
    fi
    if [ "$how" = asked ]; then
        timeout 20 xfce4-session-logout --logout --fast || fail "xfce4-session-logout failed"
    else
        SESSION_MANAGER=$(tr '\0' '\n' <"/proc/$program/environ" | sed -n 's/^SESSION_MANAGER=//p') \
            timeout 60 "$request_unasked_logout" || fail "the unasked logout was refused"
    fi
    for keys in "$@"; do
        wait_until box_or_end || fail "no message box appeared"
        ! program_ended || fail "the program ended without asking"
        # shellcheck disable=SC2086 # a list of keys
        answer_box $keys
    done
    wait_seconds=60 wait_until program_ended || fail "the program did not end"
    wait_seconds=30 wait_until test -s "$work/status" || fail "no exit status"
    timeout 30 tail --pid="$session" -f /dev/null || fail "xfce4-session did not end"
    kill "$bus"
    wait "$session" "$bus" 2>/dev/null || true
}

saved_files() { # name of every file on the stick, whole copies of their sources
    local copy
    for copy in "$stick"/*/*; do
        [ -e "$copy" ] || continue
        cmp -s "$copy" "$tree/$(basename "$copy")" || fail "$(basename "$copy") is not whole"
        basename "$copy"
    done
}

# name | expected name | how | boxes answered, keys separated by commas | saved | status | recorded
cases=(
    "matching stick|STICK|asked||new.txt|0|no"
    "checkpoint, then logout|STICK|checkpoint||new.txt|0|no"
    "wrong stick, ignored|OTHER|asked|Tab Tab space|new.txt|0|no"
    "wrong stick, not saved|OTHER|asked|Return,Return||0|no"
    "matching stick, unasked|STICK|unasked||new.txt|0|no"
    "wrong stick, unasked|OTHER|unasked|||1|yes"
    "no stick|STICK|unasked|||1|yes"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name expected how answers saved expected_status recorded <<<"$row"
    IFS=',' read -r -a boxes <<<"$answers"
    [[ "$name" != "no stick" ]] || remove_stick "$stick" || fail "cannot remove the stick"
    # Written with LF alone: the end of the session writes it anew with CR LF.
    printf '%s\n%s\n' "$expected" "$tree" >"$app/sichern.txt"
    rm -f "$record" "$tree"/*
    start_session
    echo "$name" >"$tree/new.txt"
    end_session "$how" "${boxes[@]}"
    [ "$(saved_files)" = "$saved" ] || fail "$name: saved '$(saved_files)', expected '$saved'"
    [ "$(cat "$work/status")" = "$expected_status" ] || fail "$name: exit status $(cat "$work/status")"
    printf '%s\r\n%s\r\n' "$expected" "$tree" | cmp -s - "$app/sichern.txt" || fail "$name: sichern.txt not written"
    if [ "$recorded" = yes ]; then [ -s "$record" ]; else [ ! -e "$record" ]; fi || fail "$name: run recorded is not '$recorded'"
    find "$stick" -mindepth 1 -maxdepth 1 -type d ! -name lost+found -exec rm -rf {} +
    echo "$name: saved '$saved', exit status $expected_status, run recorded: $recorded"
done
