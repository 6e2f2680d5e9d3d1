# shellcheck shell=bash disable=SC2034  # the arrays are for the scripts that source this
# Sourced by the scripts of tools/ and .ci/: the steps several of them take.
#
#   no_clock=(...)             prefix that runs a program without the right to set
#                              the clock (the launcher may be handed the MCU's time)
#   no_clock_as_root=(...)     the same as root, nothing otherwise (setpriv needs root
#                              to drop a bounding-set capability)
#   wait_for_listening LOG [PID]
#                              waits up to 10 s for the simulator's "# listening"
#                              line in LOG, less if PID ends first; fails without it
#   private_names_for DIR      sets private_names=(...), a prefix that runs a program
#                              in a network namespace of its own (the abstract socket
#                              name) and, unless DIR lives in /tmp (a private one
#                              would hide it), with a private /tmp (the launcher's
#                              socket file); needs root
#   sanitizer_options [ASAN_EXTRA]
#                              exports the sanitizers' run-time options, ASAN_EXTRA
#                              appended to ASan's; suppressions from tools/*.supp

lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

no_clock=(setpriv --bounding-set=-sys_time --inh-caps=-sys_time)
no_clock_as_root=()
if [ "$(id -u)" -eq 0 ]; then
    no_clock_as_root=("${no_clock[@]}")
fi

wait_for_listening() {
    local log=$1 pid=${2:-} _
    for _ in $(seq 100); do
        grep -q '^# listening' "$log" 2>/dev/null && return 0
        [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^# listening' "$log" 2>/dev/null
}

private_names_for() {
    case $1 in
    /tmp/*) private_names=(unshare -n) ;;
    *) private_names=(unshare -n -m bash -c 'mount -t tmpfs tmpfs /tmp && exec "$@"' private-names) ;;
    esac
}

sanitizer_options() {
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1${1:+:$1}
    export LSAN_OPTIONS=suppressions=$lib_dir/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    export TSAN_OPTIONS=suppressions=$lib_dir/tsan.supp:halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0
}

# analysis_db BUILD DIR...: configures BUILD with compile commands, runs moc (and
# builds nothing else) there, as the sources include its output, and writes BUILD/analysis/
# compile_commands.json: one entry per source of the DIRs, taken from the
# library or program it belongs to, not from a test that compiles it again
# (launcher/ stays C++11 that way). Prints nothing.
analysis_db() {
    local build=$1 targets
    shift
    cmake -S "$lib_dir/.." -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_AUTOGEN_ORIGIN_DEPENDS=OFF >/dev/null
    mapfile -t targets < <(cmake --build "$build" --target help | sed -n 's/^\.\.\. \(.*_autogen\)$/\1/p')
    cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null
    mkdir -p "$build/analysis"
    python3 - "$lib_dir/.." "$build" "$@" <<'PY'
import json, os, sys
root, build, dirs = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2]), sys.argv[3:]
prefixes = tuple(os.path.join(root, d) + "/" for d in dirs)
picked = {}
for entry in json.load(open(os.path.join(build, "compile_commands.json"))):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    from_test = os.path.relpath(entry["directory"], build).startswith("tests")
    if path.startswith(prefixes) and (path not in picked or picked[path][1]):
        picked[path] = (entry, from_test)
json.dump([e for e, _ in picked.values()],
          open(os.path.join(build, "analysis", "compile_commands.json"), "w"), indent=1)
PY
}

# analysis_sources DIR: the sources of DIR/compile_commands.json, one a line.
analysis_sources() {
    python3 -c 'import json, sys; print("\n".join(e["file"] for e in json.load(open(sys.argv[1]))))' \
        "$1/compile_commands.json"
}
