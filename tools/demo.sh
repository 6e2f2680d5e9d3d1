#!/usr/bin/env bash
# The demo: installs what is missing, builds, then lets the MCU simulator play a
# normal boot against the launcher (on the desktop when there is a display,
# offscreen otherwise). It ends by itself with a summary of what crossed the link.
#   tools/demo.sh [--keep-open]
# --keep-open: on a display, the home screen stays up after the scenario for a
# person to use; simulator commands can be typed in the terminal; closing the
# window (or Ctrl-C) ends the demo.
# DEMO_IDLE_MS: how long the link may stay quiet before the end (default 3000);
# DEMO_BUILD_DIR: the build directory (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source "$root/tools/lib.sh"
build=${DEMO_BUILD_DIR:-$root/build}
out=$build/demo

keep_open=0
for arg in "$@"; do
    case $arg in
    --keep-open) keep_open=1 ;;
    -h | --help) sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $arg (see --help)" >&2; exit 2 ;;
    esac
done
if [ "$keep_open" -eq 1 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: --keep-open needs a display (DISPLAY or WAYLAND_DISPLAY)" >&2
    exit 2
fi

bash tools/setup.sh demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target launcher mcu-sim

rm -rf "$out"
mkdir -p "$out/config" "$out/runtime"
chmod 700 "$out/runtime"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "demo: no display, running offscreen"
fi
# A private settings store, so the demo leaves the user's settings alone.
export XDG_CONFIG_HOME=$out/config
[ -n "${XDG_RUNTIME_DIR:-}" ] || export XDG_RUNTIME_DIR=$out/runtime

# The scenario sends the MCU's time; as root the launcher would set the clock
# from it. The demo never gives it that right.
run_launcher=("${no_clock_as_root[@]}" "$build/launcher/launcher")

sim_args=(--scenario mcu-sim/scenarios/normal-boot.scn --summary --record "$out/session.txt")
if [ "$keep_open" -eq 1 ]; then
    # The terminal stays the simulator's input: commands typed there reach
    # the launcher while the window is in use.
    "$build/mcu-sim/mcu-sim" "${sim_args[@]}" <&0 > >(tee "$out/mcu-sim.log") 2>&1 &
else
    "$build/mcu-sim/mcu-sim" "${sim_args[@]}" --exit-after-idle "${DEMO_IDLE_MS:-3000}" \
        </dev/null > >(tee "$out/mcu-sim.log") 2>&1 &
fi
sim=$!
wait_for_listening "$out/mcu-sim.log" "$sim" || true

"${run_launcher[@]}" >"$out/launcher.out" 2>"$out/launcher.log" &
launcher=$!

sim_status=0
launcher_status=0
if [ "$keep_open" -eq 1 ]; then
    # Ctrl-C ends the launcher the way closing its window does; the
    # simulator is stopped below either way.
    trap 'kill -TERM "$launcher" 2>/dev/null || true' INT TERM
    echo "demo: the home screen stays up; type simulator commands here (help: mcu-sim --help), close the window to end"
    while kill -0 "$launcher" 2>/dev/null; do
        wait "$launcher" || true
    done
    trap - INT TERM
    wait "$launcher" || launcher_status=$?
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" || sim_status=$?
else
    wait "$sim" || sim_status=$?
    kill -TERM "$launcher" 2>/dev/null || true
    wait "$launcher" || launcher_status=$?
fi

echo
echo "demo: launcher exited with $launcher_status; from its log:"
grep -E '^(---MainStart---|UI is|~MainStart|hostframework: )' "$out/launcher.log" || true
echo "demo: logs and the recorded session are in $out"
if [ "$sim_status" -ne 0 ] || [ "$launcher_status" -ne 0 ]; then
    echo "demo: FAILED (simulator $sim_status, launcher $launcher_status)"
    exit 1
fi
