#!/usr/bin/env bash
# The demo: installs what is missing, builds, then lets the MCU simulator play a
# normal boot against the launcher (on the desktop when there is a display,
# offscreen otherwise). It ends by itself with a summary of what crossed the link.
# DEMO_IDLE_MS: how long the link may stay quiet before the end (default 3000);
# DEMO_BUILD_DIR: the build directory (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${DEMO_BUILD_DIR:-$root/build}
out=$build/demo

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
run_launcher=("$build/launcher/launcher")
if [ "$(id -u)" -eq 0 ]; then
    run_launcher=(setpriv --bounding-set=-sys_time --inh-caps=-sys_time "${run_launcher[@]}")
fi

"$build/mcu-sim/mcu-sim" --scenario mcu-sim/scenarios/normal-boot.scn \
    --exit-after-idle "${DEMO_IDLE_MS:-3000}" --summary --record "$out/session.txt" \
    </dev/null > >(tee "$out/mcu-sim.log") 2>&1 &
sim=$!
for _ in $(seq 100); do
    grep -q '^# listening' "$out/mcu-sim.log" 2>/dev/null && break
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.1
done

"${run_launcher[@]}" >"$out/launcher.out" 2>"$out/launcher.log" &
launcher=$!

sim_status=0
wait "$sim" || sim_status=$?
kill -TERM "$launcher" 2>/dev/null || true
launcher_status=0
wait "$launcher" || launcher_status=$?

echo
echo "demo: launcher exited with $launcher_status; from its log:"
grep -E '^(---MainStart---|UI is|~MainStart|hostframework: )' "$out/launcher.log" || true
echo "demo: logs and the recorded session are in $out"
if [ "$sim_status" -ne 0 ] || [ "$launcher_status" -ne 0 ]; then
    echo "demo: FAILED (simulator $sim_status, launcher $launcher_status)"
    exit 1
fi
