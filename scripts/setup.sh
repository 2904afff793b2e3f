#!/usr/bin/env bash
# Installs what is missing (Debian 12), then configures and builds into build/.
# Safe to run again: installs nothing and rebuilds only what changed.
#
#   scripts/setup.sh           the program
#   scripts/setup.sh --tests   the program, its tests and the benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."

tests=OFF
case "${1:-}" in
--tests) tests=ON ;;
"") ;;
*) echo "usage: $0 [--tests]" >&2; exit 2 ;;
esac

packages=(cmake g++ make pkg-config qt6-base-dev libblkid-dev libxcb1-dev)
test_packages=(
    # tests of the real window and of real volumes
    xvfb xauth openbox wmctrl xdotool x11-utils imagemagick e2fsprogs util-linux procps
    # a real XSMP session manager, its private session bus, and a client of it
    xfce4-session dbus-daemon libsm-dev
    # a headless Wayland compositor and Qt's Wayland platform
    weston qt6-wayland
    # the file systems of real sticks
    exfat-fuse exfatprogs ntfs-3g dosfstools
    # references for the benchmarks
    findutils coreutils rsync strace
    # validators of the desktop entry and the AppStream metainfo
    desktop-file-utils appstream
    # the Debian package: dpkg-shlibdeps for its dependencies, and its checker
    dpkg-dev lintian
)
[ "$tests" = OFF ] || packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=$tests -DPENDREL_BUILD_BENCH=$tests >/dev/null
cmake --build build -j"$(nproc)"
