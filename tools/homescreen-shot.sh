#!/usr/bin/env bash
# Takes the README's screenshot of the home screen: the launcher against the
# MCU simulator's normal boot, on a private X server, captured once the
# scenario is through. Installs what is missing, builds what it runs, and
# stops everything it started.
#   tools/homescreen-shot.sh [build-dir] [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath -m "${1:-build}")
OUT=$(realpath -m "${2:-docs/homescreen.png}")
SCENARIO=$(realpath mcu-sim/scenarios/normal-boot.scn)

bash tools/setup.sh screenshot
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target launcher mcu-sim
mkdir -p "$(dirname "$OUT")"

run() {
    local work
    work=$(mktemp -d)
    # The launcher may try to set the clock from the simulator's time: it must not.
    local drop=()
    [ "$(id -u)" = 0 ] && drop=(setpriv --bounding-set=-sys_time --inh-caps=-sys_time)
    export XDG_CONFIG_HOME=$work/config
    local status=0
    xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
        set -u
        work=$1 build=$2 scenario=$3 out=$4
        shift 4
        # Both stopped whatever happens, so neither outlives the X server.
        pids=()
        trap '\''kill -TERM "${pids[@]}" 2>/dev/null; wait'\'' EXIT
        "$build/mcu-sim/mcu-sim" --scenario "$scenario" --no-input </dev/null >"$work/sim.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 100); do grep -q "^# listening" "$work/sim.log" && break; sleep 0.1; done
        "$@" "$build/launcher/launcher" >/dev/null 2>"$work/launcher.log" &
        pids+=($!)
        # The scenario ends with the reply to its last command; then the
        # screen has a moment to show it.
        for _ in $(seq 300); do grep -q "^< Reply" "$work/sim.log" && break; sleep 0.1; done
        grep -q "^< Reply" "$work/sim.log" || { echo "homescreen-shot: the scenario did not finish" >&2; exit 1; }
        sleep 1
        import -window root "$out"' _ "$work" "$BUILD" "$SCENARIO" "$OUT" "${drop[@]}" || status=$?
    rm -rf "$work"
    [ "$status" -eq 0 ] && echo "homescreen-shot: $OUT"
    return "$status"
}

if [ "$(id -u)" = 0 ]; then
    # The build's fixed socket names and /tmp stay this run's own.
    export -f run
    export BUILD OUT SCENARIO
    # A private /tmp only where it cannot hide the build.
    case "$BUILD" in
    /tmp/*) exec unshare -n bash -c run ;;
    *) exec unshare -nm bash -c 'mount -t tmpfs tmpfs /tmp && run' ;;
    esac
fi
run
