#!/usr/bin/env bash
# Takes the README's screenshot of the home screen: the launcher against the
# MCU simulator's normal boot, on a private X server, captured once the
# scenario is through. Installs what is missing, builds what it runs, and
# stops everything it started.
#   tools/homescreen-shot.sh [build-dir] [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
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
    # In the namespace this is a bash of its own. The launcher may try to set
    # the clock from the simulator's time: it must not (no_clock_as_root).
    source tools/lib.sh
    export XDG_CONFIG_HOME=$work/config
    local status=0
    xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
        set -u
        work=$1 build=$2 scenario=$3 out=$4
        shift 4
        source tools/lib.sh
        # Both stopped whatever happens, so neither outlives the X server.
        pids=()
        trap '\''kill -TERM "${pids[@]}" 2>/dev/null; wait'\'' EXIT
        "$build/mcu-sim/mcu-sim" --scenario "$scenario" --no-input </dev/null >"$work/sim.log" 2>&1 &
        pids+=($!)
        wait_for_listening "$work/sim.log" || true
        "$@" "$build/launcher/launcher" >/dev/null 2>"$work/launcher.log" &
        pids+=($!)
        # The scenario ends with the reply to its last command; then the
        # screen has a moment to show it.
        for _ in $(seq 300); do grep -q "^< Reply" "$work/sim.log" && break; sleep 0.1; done
        grep -q "^< Reply" "$work/sim.log" || { echo "homescreen-shot: the scenario did not finish" >&2; exit 1; }
        sleep 1
        import -window root "$out"' _ "$work" "$BUILD" "$SCENARIO" "$OUT" \
        "${no_clock_as_root[@]}" || status=$?
    rm -rf "$work"
    [ "$status" -eq 0 ] && echo "homescreen-shot: $OUT"
    return "$status"
}

if [ "$(id -u)" = 0 ]; then
    # The build's fixed socket names and /tmp stay this run's own.
    export -f run
    export BUILD OUT SCENARIO
    private_names_for "$BUILD"
    exec "${private_names[@]}" bash -c run
fi
run
