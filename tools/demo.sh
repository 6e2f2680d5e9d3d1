#!/usr/bin/env bash
# The demo: installs what is missing, builds, then lets the MCU simulator play a
# normal boot against the launcher (on the desktop when there is a display,
# offscreen otherwise). It ends by itself with a summary of what crossed the link.
#   tools/demo.sh [--keep-open]
# --keep-open: on a display, the home screen stays up after the scenario for a
# person to use; simulator commands can be typed in the terminal; closing the
# window (or Ctrl-C) ends the demo.
# DEMO_IDLE_MS: how long the link may stay quiet before the end (default 3000);
# DEMO_BUILD_DIR: the build directory (default build/);
# DEMO_DLT_PORT: the TCP port of the demo's own dlt-daemon (default 13490).
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
    -h | --help) sed -n '2,12s/^# \{0,1\}//p' "$0"; exit 0 ;;
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

# A dlt-daemon of the demo's own: its FIFOs, control socket and log in $out/dlt,
# on a port of its own, so a daemon of the machine is left alone. The launcher
# finds it through DLT_PIPE_DIR; dlt-receive keeps the session as a .dlt file.
dlt_dir=$out/dlt
dlt_port=${DEMO_DLT_PORT:-13490}
mkdir -p "$dlt_dir"
# Everything on from the launcher's first frame: the daemon gives a context
# that registers the debug level (the link's per-frame line) and the trace on
# (the MCU frames).
cat >"$dlt_dir/dlt.conf" <<EOF
ControlSocketPath = $dlt_dir/dlt-ctrl.sock
LoggingMode = 2
LoggingFilename = $dlt_dir/dlt-daemon.log
ContextLogLevel = 5
ContextTraceStatus = 1
EOF
dlt-daemon -c "$dlt_dir/dlt.conf" -t "$dlt_dir" -p "$dlt_port" >/dev/null 2>&1 &
dlt_daemon=$!
dlt_receive=
stop_dlt() {
    [ -z "$dlt_receive" ] || kill -TERM "$dlt_receive" 2>/dev/null || true
    kill -TERM "$dlt_daemon" 2>/dev/null || true
    wait "$dlt_daemon" 2>/dev/null || true
}
trap stop_dlt EXIT
for _ in $(seq 100); do
    [ -p "$dlt_dir/dlt" ] && break
    kill -0 "$dlt_daemon" 2>/dev/null || { echo "demo: dlt-daemon did not start (port $dlt_port taken? DEMO_DLT_PORT picks another)" >&2; exit 1; }
    sleep 0.1
done
dlt-receive -p "$dlt_port" -o "$out/session.dlt" localhost >/dev/null 2>&1 &
dlt_receive=$!
export DLT_PIPE_DIR=$dlt_dir

sim_args=(--scenario mcu-sim/scenarios/normal-boot.scn --summary --record "$out/session.txt")
if [ "$keep_open" -eq 1 ]; then
    # The terminal stays the simulator's input: commands typed there reach
    # the launcher while the window is in use.
    "$build/mcu-sim/mcu-sim" "${sim_args[@]}" <&0 > >(tee "$out/mcu-sim.log") 2>&1 &
else
    "$build/mcu-sim/mcu-sim" "${sim_args[@]}" --no-input --exit-after-idle "${DEMO_IDLE_MS:-3000}" \
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
    # One more key press once the boot is through: by then the launcher has
    # its levels from the daemon (they can take it half a second), so the
    # recording holds the press's lines and its frame as trace.
    for _ in $(seq 300); do
        grep -q '^# passed: expect Reply' "$out/mcu-sim.log" 2>/dev/null && break
        kill -0 "$sim" 2>/dev/null || break
        sleep 0.1
    done
    "$build/mcu-sim/mcu-sim" send key 0x12 1 >/dev/null || true
    wait "$sim" || sim_status=$?
    kill -TERM "$launcher" 2>/dev/null || true
    wait "$launcher" || launcher_status=$?
fi

echo
echo "demo: launcher exited with $launcher_status; from its log:"
grep -E '^(---MainStart---|UI is|~MainStart|hostframework: )' "$out/launcher.log" || true
# The launcher unregistered on its way out; give the daemon a moment to pass that on.
sleep 0.5
stop_dlt
trap - EXIT
echo "demo: in DLT (dlt-convert -a $out/session.dlt), the launcher's first messages:"
dlt-convert -a "$out/session.dlt" | grep ' LNCH ' | head -n 8 || true
echo "demo: logs, the recorded session and the DLT session (session.dlt) are in $out"
if [ "$sim_status" -ne 0 ] || [ "$launcher_status" -ne 0 ]; then
    echo "demo: FAILED (simulator $sim_status, launcher $launcher_status)"
    exit 1
fi
