# Sourced by tests that need a real stick: an image on a loop device, made and
# mounted the way desktops mount each kind. Must run inside a private mount
# namespace, as root.
#   make_stick KIND IMAGE MOUNTPOINT [LABEL] [SIZE]   KIND: ext4, exfat or ntfs
#   remove_stick MOUNTPOINT

make_stick() {
    local kind=$1 image=$2 mountpoint=$3 label=${4:-STICK} size=${5:-64M} device
    truncate -s "$size" "$image" && mkdir -p "$mountpoint" || return 1
    case $kind in
    ext4)
        mkfs.ext4 -q -L "$label" "$image" && mount -o loop "$image" "$mountpoint"
        ;;
    exfat)
        mkfs.exfat -n "$label" "$image" >/dev/null && device=$(losetup -f --show "$image") &&
            mount.exfat-fuse -o quiet "$device" "$mountpoint" >/dev/null
        ;;
    ntfs)
        # windows_names: the characters Windows refuses are refused, as on
        # the desktops' mounts of NTFS sticks.
        mkfs.ntfs -F -Q -L "$label" "$image" >/dev/null 2>&1 && device=$(losetup -f --show "$image") &&
            ntfs-3g -o windows_names "$device" "$mountpoint"
        ;;
    *)
        echo "make_stick: unknown kind $kind" >&2
        return 1
        ;;
    esac
}

# A FUSE daemon goes on after umount until it has written everything out; the
# loop device is only free once it has ended.
remove_stick() {
    local mountpoint=$1 device
    device=$(findmnt -n -o SOURCE --mountpoint "$mountpoint") || return 0
    umount "$mountpoint" || return 1
    case $device in
    /dev/loop*)
        # [l] keeps grep from finding its own command line.
        local pattern="/dev/[l]${device#/dev/l}"
        for _ in $(seq 250); do
            grep -qsxz -- "$pattern" /proc/[0-9]*/cmdline || break
            sleep 0.02
        done
        losetup -d "$device" 2>/dev/null || true
        ;;
    esac
}
