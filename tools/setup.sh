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
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
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
