#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12, skipping
# what is already there. Run as root (or with sudo available).
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins
    pulseaudio pulseaudio-utils sox
    xvfb xauth
    util-linux iproute2 tzdata
    clang libclang-rt-14-dev
    libbenchmark-dev valgrind
)
if [ "${1:-}" = "--with-extras" ]; then
    packages+=(imagemagick heaptrack)
fi

missing=()
# dpkg-query -W, not dpkg -s: with armhf added, names such as qtbase5-dev
# have two installed instances and dpkg -s calls them ambiguous.
installed() {
    dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed'
}
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi
echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
