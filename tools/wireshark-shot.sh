#!/usr/bin/env bash
# Takes mcu-sim/README.md's screenshot of Wireshark: the simulator's normal
# boot against the launcher, captured with --pcap, then opened in Wireshark
# with the tree's dissector on a private X server, the version reply
# selected and its tree open. Installs what is missing, builds what it runs,
# and stops everything it started.
#   tools/wireshark-shot.sh [build-dir] [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath -m "${1:-build}")
OUT=$(realpath -m "${2:-docs/wireshark-normal-boot.png}")
DISSECTOR=$(realpath mcu-sim/wireshark/mculink.lua)

bash tools/setup.sh capture-shot
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target launcher mcu-sim
mkdir -p "$(dirname "$OUT")"

capture() {
    local work=$1 drop=()
    # The launcher may try to set the clock from the simulator's time: it must not.
    [ "$(id -u)" = 0 ] && drop=(setpriv --bounding-set=-sys_time --inh-caps=-sys_time)
    export QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work
    "$BUILD/mcu-sim/mcu-sim" --scenario normal-boot --pcap "$work/normal-boot.pcapng" \
        --exit-after-idle 1000 </dev/null >"$work/sim.log" 2>&1 &
    local sim=$!
    for _ in $(seq 100); do grep -q "^# listening" "$work/sim.log" && break; sleep 0.1; done
    "${drop[@]}" "$BUILD/launcher/launcher" >/dev/null 2>&1 &
    local launcher=$!
    local status=0
    wait "$sim" || status=$?
    kill -TERM "$launcher" 2>/dev/null || true
    wait "$launcher" || true
    [ "$status" -eq 0 ] || { echo "wireshark-shot: the scenario failed:" >&2; cat "$work/sim.log" >&2; }
    return "$status"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
if [ "$(id -u)" = 0 ]; then
    # The build's fixed socket names and /tmp stay this run's own; a private
    # /tmp only where it cannot hide the build or the work directory.
    export -f capture
    export BUILD
    case "$BUILD$work" in
    */tmp/*|/tmp/*) unshare -n bash -c 'capture "$1"' _ "$work" ;;
    *) unshare -nm bash -c 'mount -t tmpfs tmpfs /tmp && capture "$1"' _ "$work" ;;
    esac
else
    capture "$work"
fi

# Wireshark's settings of this run only: the window as large as the screen,
# the packet details at a known place.
mkdir -p "$work/home/.config/wireshark"
printf '%s\n' 'gui.geometry_main_x: 0' 'gui.geometry_main_y: 0' 'gui.geometry_main_width: 1280' \
    'gui.geometry_main_height: 800' >"$work/home/.config/wireshark/recent_common"
echo 'gui.geometry_main_upper_pane: 300' >"$work/home/.config/wireshark/recent"
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work TZ=UTC \
    xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    set -u
    dissector=$1 capture=$2 out=$3
    wireshark -X lua_script:"$dissector" -r "$capture" -g 7 >/dev/null 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null; wait" EXIT
    for _ in $(seq 100); do xdotool search --name normal-boot >/dev/null && break; sleep 0.2; done
    sleep 3
    # The second row of the packet details, the MCU link, opened whole.
    xdotool mousemove 200 420 click 1
    sleep 0.5
    xdotool key shift+Right
    sleep 1
    import -window root "$out"' _ "$DISSECTOR" "$work/normal-boot.pcapng" "$OUT"
echo "wireshark-shot: $OUT"
