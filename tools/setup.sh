#!/usr/bin/env bash
# Installs on Debian 12 what one command of the project needs, skipping what is
# already there. Run as root (or with sudo available).
#
#   tools/setup.sh demo        compiler, CMake, Qt and DLT (library, daemon and
#                              tools): building and the demo
#   tools/setup.sh test        demo + what the test stages call: Xvfb, a sound
#                              server and sox, clang's fuzzer runtime, lintian,
#                              iproute2, tshark, gcovr
#   tools/setup.sh armhf       demo + adds the armhf architecture to the machine,
#                              then the cross compiler, qemu-user, armhf Qt and
#                              the packaging tools
#   tools/setup.sh bench       demo + valgrind (tools/bench.sh)
#   tools/setup.sh screenshot  demo + Xvfb, ImageMagick and DLT Viewer
#                              (tools/homescreen-shot.sh, tools/dlt-viewer-shot.sh)
#   tools/setup.sh capture-shot  screenshot + Wireshark and xdotool (tools/wireshark-shot.sh)
#
# Several may be named at once; no name means test.
set -euo pipefail

# libdlt-dev: the launcher logs to DLT; the demo runs a dlt-daemon of its own
# and records the session with dlt-receive (dlt-tools).
demo=(build-essential cmake qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins util-linux
      pkgconf libdlt-dev dlt-daemon dlt-tools)
xserver=(xvfb xauth)
declare -A wanted=()
add_arch=no
[ $# -gt 0 ] || set -- test
for profile in "$@"; do
    case $profile in
    demo) list=("${demo[@]}") ;;
    # tzdata: the clock tests run in named zones. pkgconf: the unit-floor
    # stage takes the Qt flags from it. systemd: systemd-analyze
    # checks the launcher's unit. dpkg-dev: dpkg-shlibdeps for the packages.
    # clang-format, clang-tidy, clazy: the format and analysis stages. iproute2:
    # the DLT test raises the loopback of its network namespace (it reaches its
    # daemon over TCP). tshark: the captures and the dissector. gcovr: the
    # coverage stage.
    test) list=("${demo[@]}" "${xserver[@]}" pulseaudio pulseaudio-utils sox tzdata pkgconf
                clang libclang-rt-14-dev clang-format clang-tidy clazy dpkg-dev lintian systemd
                iproute2 tshark gcovr) ;;
    # The host's Qt supplies moc and rcc to the cross build. Without recommends
    # the armhf Qt brings no second, armhf desktop.
    armhf) list=("${demo[@]}" crossbuild-essential-armhf qemu-user qtbase5-dev:armhf
                 qtmultimedia5-dev:armhf libdlt-dev:armhf dpkg-dev lintian)
           add_arch=yes ;;
    bench) list=("${demo[@]}" valgrind) ;;
    screenshot) list=("${demo[@]}" "${xserver[@]}" imagemagick dlt-viewer) ;;
    capture-shot) list=("${demo[@]}" "${xserver[@]}" imagemagick wireshark xdotool) ;;
    *) echo "setup: unknown command '$profile' (demo, test, armhf, bench, screenshot, capture-shot)" >&2; exit 2 ;;
    esac
    for p in "${list[@]}"; do wanted[$p]=1; done
done

# dpkg-query, not dpkg -s: with armhf added, names such as qtbase5-dev have two
# instances and dpkg -s calls them ambiguous. A name without an architecture
# means the machine's own (or an architecture-independent package).
native=$(dpkg --print-architecture)
installed() {
    local name=${1%%:*} arch=$native
    [[ $1 == *:* ]] && arch=${1#*:}
    dpkg-query -W -f='${db:Status-Abbrev} ${Architecture}\n' "$name" 2>/dev/null \
        | grep -qE "^ii +($arch|all)\$"
}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
updated=no
if [ $add_arch = yes ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "setup: adding the armhf architecture to this machine (dpkg --add-architecture armhf)"
    $SUDO dpkg --add-architecture armhf
    $SUDO apt-get update -qq
    updated=yes
fi

missing=()
for p in "${!wanted[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present for: $*"
    exit 0
fi
echo "setup: installing ${missing[*]}"
[ $updated = yes ] || $SUDO apt-get update -qq
# tshark's package would ask whether ordinary users may capture; nobody here captures live.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
