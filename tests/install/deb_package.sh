#!/usr/bin/env bash
# The Debian package as a user gets it: made by CPack, checked by lintian
# (no errors), installed with `apt-get install ./pendrel_*.deb` into an
# overlay of / whose changes live on a tmpfs in a private mount namespace (the
# host is not changed), run headless by a new normal user for a save onto an
# ext4 stick, removed with `apt-get remove`, and nothing of it left.
#
#   deb_package.sh BUILD_DIR
#
# No network: the dependencies are those already installed. Exit status 77
# (skipped) when not root or mount namespaces or overlays are not available.
set -euo pipefail

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -z "${PENDREL_DEB_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || skip "needs root to install a package and mount an overlay"
    unshare -m --propagation private true 2>/dev/null || skip "no mount namespaces here (unshare -m failed)"
    PENDREL_DEB_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

build=$(readlink -f "$1")
base=$(mktemp -d)
mount -t tmpfs tmpfs "$base"
root="$base/root"
user=pendrel-deb
program=""
cleanup() {
    [ -z "$program" ] || kill -9 "$program" 2>/dev/null || true
    wait 2>/dev/null || true
    # Unmount everything below first: /dev is the host's, bound in.
    umount -R "$base" 2>/dev/null || umount -R -l "$base" 2>/dev/null || true
    rmdir "$base"
}
trap cleanup EXIT

# --- made and checked
mkdir "$base/deb"
timeout 120 cpack --config "$build/CPackConfig.cmake" -G DEB -B "$base/deb" >"$base/cpack.log" 2>&1 \
    || fail "cpack: $(cat "$base/cpack.log")"
deb=$(echo "$base"/deb/pendrel_*.deb)
[ -f "$deb" ] || fail "no package made"
timeout 120 lintian --fail-on error "$deb" || fail "lintian reports errors"
echo "made $(basename "$deb"); lintian: no errors"

# --- an overlay of the host's root file system, its changes on the tmpfs
mkdir "$base/upper" "$base/overlaywork" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/overlaywork" "$root" \
    || skip "cannot mount an overlay of /"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
mount -t tmpfs tmpfs "$root/media"
in_root() { chroot "$root" "$@"; }
cp "$deb" "$root/tmp/"
package_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')

# Installed on the host too: gone from the overlay first.
if in_root dpkg-query -W pendrel >/dev/null 2>&1; then in_root dpkg --purge pendrel >/dev/null; fi
(cd "$root/tmp" && DEBIAN_FRONTEND=noninteractive timeout 120 chroot "$root" sh -c \
    'cd /tmp && apt-get install -y -q --no-install-recommends ./pendrel_*.deb') >"$base/apt.log" 2>&1 \
    || fail "apt-get install: $(cat "$base/apt.log")"
[ "$(in_root dpkg-query -W -f='${Status}' pendrel)" = "install ok installed" ] || fail "not installed"
for file in $package_files; do [ -e "$root$file" ] || fail "$file is not installed"; done
[ "$(in_root pendrel --version)" = "pendrel 0.1" ] || fail "the installed pendrel --version"
echo "installed with apt-get"

# --- a save by a new user, headless: a stick of the user's, SIGTERM closes
in_root useradd -m -s /bin/sh "$user"
home="/home/$user"
in_root runuser -u "$user" -- sh -c 'mkdir -p ~/work ~/.config/pendrel && printf "DAY\r\n%s/work\r\n" ~ >~/.config/pendrel/sichern.txt'
truncate -s 16M "$base/day.img"
mkfs.ext4 -q -I 256 -L DAY -E root_owner="$(in_root id -u "$user"):$(in_root id -g "$user")" "$base/day.img"
stick="/media/$user/DAY"
mkdir -p "$root$stick"
mount -o loop "$base/day.img" "$root$stick"

chroot "$root" runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen \
    sh -c 'cd && exec pendrel' >"$base/pendrel.log" 2>&1 &
runner=$!
ready() { # the program's SIGTERM handler is in place once its start time is taken
    program=$(ps -o pid=,comm= --ppid "$runner" | awk '$2 == "pendrel" { print $1 }')
    [ -n "$program" ] && (( 0x$(awk '/^SigCgt:/ { print $2 }' "/proc/$program/status") & (1 << 14) ))
}
for _ in $(seq 1000); do ready 2>/dev/null && break; sleep 0.02; done
ready 2>/dev/null || fail "the installed program did not start: $(cat "$base/pendrel.log")"
# File times come from the kernel's coarse clock: keep clear of the start.
sleep 0.1
in_root runuser -u "$user" -- sh -c 'echo letter >~/work/brief.txt'
kill -TERM "$program"
status=0
timeout 60 tail --pid="$program" -f /dev/null || fail "the program did not end"
wait "$runner" || status=$?
[ "$status" = 0 ] || fail "the save ended with status $status: $(cat "$base/pendrel.log")"
saved=$(find "$root$stick" -name brief.txt -printf '%P\n')
[ -n "$saved" ] && cmp "$root$home/work/brief.txt" "$root$stick/$saved" || fail "brief.txt was not saved"
program=""
umount "$root$stick"
echo "the installed program saved $saved for $user"

# --- removed, and nothing of it left
(DEBIAN_FRONTEND=noninteractive timeout 120 chroot "$root" apt-get remove -y -q pendrel) >"$base/apt.log" 2>&1 \
    || fail "apt-get remove: $(cat "$base/apt.log")"
for file in $package_files; do [ ! -e "$root$file" ] || fail "$file is left"; done
left=$(in_root dpkg-query -W -f='${Status}' pendrel 2>/dev/null || true)
[ -z "$left" ] || [ "$left" = "unknown ok not-installed" ] || fail "dpkg still knows pendrel: $left"
left=$(find "$base/upper" -path "$base/upper/tmp" -prune -o -path "$base/upper$home" -prune -o -name '*pendrel*' -print)
[ -z "$left" ] || fail "left after removal: $left"
echo "removed with apt-get, nothing left"
