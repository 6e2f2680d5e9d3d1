#!/usr/bin/env bash
# Takes the README's screenshot of the home screen: the launcher against the
# MCU simulator's normal boot, on a private X server, captured after start-up.
#   tools/homescreen-shot.sh [build-dir] [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build}")
OUT=$(realpath -m "${2:-docs/homescreen.png}")
SCENARIO=$(realpath mcu-sim/scenarios/normal-boot.scn)
mkdir -p "$(dirname "$OUT")"

run() {
    # The launcher may try to set the clock from the simulator's time: it must not.
    local drop=()
    [ "$(id -u)" = 0 ] && drop=(setpriv --bounding-set=-sys_time --inh-caps=-sys_time)
    export XDG_CONFIG_HOME=$(mktemp -d)
    xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
        "$1/mcu-sim/mcu-sim" --scenario "$2" </dev/null >/dev/null 2>&1 &
        sleep 0.5
        "${@:4}" "$1/launcher/launcher" >/dev/null 2>&1 &
        launcher=$!
        sleep 5
        import -window root "$3"
        kill -TERM $launcher
        wait $launcher' _ "$BUILD" "$SCENARIO" "$OUT" "${drop[@]}"
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
