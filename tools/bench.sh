#!/usr/bin/env bash
# Builds and runs every benchmark and prints each figure next to its baseline.
#   tools/bench.sh [build-dir]        (default: build-bench)
# BENCH_ROUNDS (default 7) and BENCH_STARTS (default 7) set the repetitions;
# BENCH_ONLY="inbound alloc event send dlt callgrind startup startcg" picks sections.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source "$root/tools/lib.sh"
build=${1:-$root/build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
rounds=${BENCH_ROUNDS:-7}
starts=${BENCH_STARTS:-7}
only=${BENCH_ONLY:-inbound alloc event send dlt callgrind startup startcg}
wanted() { [[ " $only " == *" $1 "* ]]; }

section() { echo; echo "=== $*"; }

section build
cmake -S "$root" -B "$build" -DLAUNCHER_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target launcher-bench bench-bareqt bench-homescreen bench-startprobe launcher
bench=$build/bench/launcher-bench

if wanted inbound; then
    section "1. inbound path"
    "$bench" inbound "$rounds"
fi

if wanted alloc; then
    section "2. allocations"
    "$bench" alloc
fi

if wanted event; then
    section "3. event path"
    "$bench" event "$rounds" 2>/dev/null
fi

if wanted send; then
    section "4. send path"
    "$bench" send 1
fi

if wanted dlt && command -v dlt-daemon >/dev/null; then
    section "4b. inbound path in DLT"
    # The same bench from a build without DLT is the baseline; the DLT build
    # runs with no daemon, with a daemon of its own and the per-frame line's
    # level on, and with the frame trace on.
    nodlt=$build-nodlt
    cmake -S "$root" -B "$nodlt" -DLAUNCHER_BUILD_BENCH=ON -DLAUNCHER_BUILD_TESTS=OFF \
        -DLAUNCHER_DLT=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$nodlt" -j"$(nproc)" --target launcher-bench >/dev/null
    dltrun=$(mktemp -d)
    port=$((20000 + RANDOM % 20000))
    dlt_with_daemon() { # label, extra dlt.conf lines, extra environment
        printf 'ControlSocketPath = %s/ctrl.sock\nLoggingMode = 2\nLoggingFilename = %s/daemon.log\n%s\n' \
            "$dltrun" "$dltrun" "$2" >"$dltrun/dlt.conf"
        dlt-daemon -c "$dltrun/dlt.conf" -t "$dltrun" -p "$port" >/dev/null 2>&1 &
        local daemon=$! i
        for i in $(seq 50); do [ -p "$dltrun/dlt" ] && break; sleep 0.1; done
        # A client takes what the daemon sends, as a viewer on the unit would.
        dlt-receive -p "$port" localhost >/dev/null 2>&1 &
        local receiver=$!
        env DLT_PIPE_DIR="$dltrun" $3 "$bench" dlt "$rounds" "$1" | tee -a "$dltrun/out"
        kill "$receiver" "$daemon" 2>/dev/null || true
        wait "$receiver" "$daemon" 2>/dev/null || true
    }
    "$nodlt/bench/launcher-bench" dlt "$rounds" "without DLT (build)" | tee "$dltrun/out"
    mkdir -p "$dltrun/none"
    DLT_PIPE_DIR="$dltrun/none" "$bench" dlt "$rounds" "DLT, no daemon" | tee -a "$dltrun/out"
    dlt_with_daemon "DLT, daemon, line on" "" "DLT_INITIAL_LOG_LEVEL=LNCH:LINK:5"
    dlt_with_daemon "DLT, daemon, trace on" "ContextTraceStatus = 1" ""
    awk '{ k = $(NF - 8); v = $(NF - 7); if (/without DLT/) base[k] = v; else if (base[k] > 0)
           printf "dlt: %s, %s: %.2f of the build without DLT\n", substr($0, 6, 22), k, v / base[k] }' \
        "$dltrun/out"
    rm -rf "$dltrun"
fi

if ! wanted callgrind; then
    :
elif command -v valgrind >/dev/null && command -v callgrind_annotate >/dev/null; then
    frames=20000
    work=$(mktemp -d)
    printf '%-9s %10s %10s %10s %10s %14s %12s\n' frames raw ours literal full "ours-raw" "literal/ours"
    for kind in normal16 long20 long268; do
        declare -A ir=()
        for variant in raw ours literal full; do
            valgrind --tool=callgrind --callgrind-out-file="$work/$kind.$variant" \
                "$bench" callgrind "$variant" "$frames" "$kind" >/dev/null 2>&1
            fn=consume${variant^}
            # awk reads to the end: an early exit would kill callgrind_annotate by SIGPIPE.
            count=$(callgrind_annotate --inclusive=yes --threshold=100 "$work/$kind.$variant" 2>/dev/null \
                    | awk -v f="::$fn(" '!n && index($0, f) { gsub(",", "", $1); print $1; n = 1 }')
            ir[$variant]=${count:-0}
        done
        awk -v k="$kind" -v n="$frames" -v r="${ir[raw]}" -v o="${ir[ours]}" -v l="${ir[literal]}" -v f="${ir[full]}" \
            'BEGIN { printf "%-9s %10.1f %10.1f %10.1f %10.1f %14.1f %12.2f\n", k, r/n, o/n, l/n, f/n, (o-r)/n, (l-r)/(o-r) }'
        unset ir
    done
    echo "(instructions per frame, inclusive, user space; reads of 268 bytes from a prefilled socket)"
    rm -rf "$work"
else
    echo "valgrind not installed: skipped"
fi

section "5. start-up"
# Each program runs where it cannot reach a real MCU service or the machine's
# clock: its own network namespace and /tmp, without CAP_SYS_TIME, with
# settings of its own. Both go through the same wrapper and the same probe.
probe=$build/bench/libbench-startprobe.so
runs=$(mktemp -d "$build/bench/startup.XXXXXX")
wrap=()
if [ "$(id -u)" = 0 ] && unshare --net --mount true 2>/dev/null; then
    # Ahead of ordinary load (builds, tests), or their noise decides the figures.
    private_names_for "$build"
    wrap=(nice -n -15 "${private_names[@]}" "${no_clock[@]}")
else
    echo "not root: running without namespaces (the launcher will unlink and bind the build's socket path)"
fi

# start_once NAME PROGRAM: prints "first-frame event-loop" in ms since process start.
start_once() {
    local name=$1 program=$2 log=$runs/$1.$RANDOM.log
    mkdir -p "$runs/config.$name"
    env QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$runs/config.$name" \
        "${wrap[@]}" env LD_PRELOAD="$probe" "$program" >/dev/null 2>"$log" &
    local pid=$!
    local i
    for ((i = 0; i < 300; i++)); do
        if grep -q "boot timeline:\|bareqt: first-frame=\|homescreen: first-frame=" "$log" && grep -q "startprobe: event-loop=" "$log"; then
            break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    local first loop
    first=$(sed -n 's/.*boot timeline: first-frame=\([0-9.]*\) ms.*/\1/p; s/^\(bareqt\|homescreen\): first-frame=\([0-9.]*\) ms.*/\2/p' "$log" | head -1)
    loop=$(sed -n 's/^startprobe: event-loop=\([0-9.]*\) ms.*/\1/p' "$log" | head -1)
    local main=$(sed -n 's/^startprobe: loaded=\([0-9.]*\) ms.*/\1/p' "$log" | head -1)
    echo "${first:-nan} ${loop:-nan} ${main:-nan}"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

if wanted startup; then
: >"$runs/launcher.txt"
: >"$runs/bare.txt"
: >"$runs/home.txt"
for ((r = 0; r < starts; r++)); do
    start_once bare "$build/bench/bench-bareqt" >>"$runs/bare.txt"
    start_once home "$build/bench/bench-homescreen" >>"$runs/home.txt"
    start_once launcher "$build/launcher/launcher" >>"$runs/launcher.txt"
done
for name in bare home launcher; do
    echo "# runs of $name (first-frame event-loop main):" $(awk '{ printf "[%s %s %s] ", $1, $2, $3 }' "$runs/$name.txt")
done
col() { awk -v c="$2" '{print $c}' "$runs/$1.txt" | median; }
echo "# medians of $starts starts, ms since process start (/proc/self/stat starttime, 10 ms ticks);"
echo "# bare: one empty window; home: bare Qt + the desktop framework's home screen; launcher: the whole launcher"
printf '%-34s %9s %9s %9s %10s %10s\n' "" bare home launcher "l/bare" "l/home"
row() {
    awk -v t="$1" -v b="$2" -v h="$3" -v l="$4" \
        'BEGIN { printf "%-34s %9.1f %9.1f %9.1f %10.2f %10.2f\n", t, b, h, l, l/b, (h > 0 ? l/h : 0) }'
}
row "libraries loaded (main entered)" "$(col bare 3)" "$(col home 3)" "$(col launcher 3)"
row "event loop running" "$(col bare 2)" "$(col home 2)" "$(col launcher 2)"
row "first frame flushed (procFlushDone)" "$(col bare 1)" "$(col home 1)" "$(col launcher 1)"
awk -v b="$(col bare 1)" -v h="$(col home 1)" -v l="$(col launcher 1)" \
    'BEGIN { printf "start-up: to the first frame, launcher / bare Qt: %.2f (target <= 1.2); launcher / home screen alone: %.2f\n", l/b, l/h }'
fi

if wanted startcg && command -v valgrind >/dev/null; then
    # Instructions from process start to the first frame: the bare programs
    # quit right after it, the launcher's profile is cut when the home screen
    # reports it.
    section "5b. start-up instructions (callgrind)"
    cg_start() {
        local name=$1 program=$2 seconds=$3
        mkdir -p "$runs/config.cg$name"
        env QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$runs/config.cg$name" timeout -s TERM "$seconds" \
            "${wrap[@]}" valgrind --tool=callgrind --dump-after='HomeScreen::frameFlushed()' \
            --callgrind-out-file="$runs/cg.$name.%p" "$program" >/dev/null 2>&1 || true
        # The first part, up to the first frame, is the one with the suffix .1 when there is one.
        local f
        f=$(ls "$runs"/cg."$name".*.1 2>/dev/null | head -1)
        [ -n "$f" ] || f=$(ls "$runs"/cg."$name".* | head -1)
        awk '/^totals:/ { print $2; exit }' "$f"
    }
    cb=$(cg_start bare "$build/bench/bench-bareqt" 180)
    ch=$(cg_start home "$build/bench/bench-homescreen" 180)
    cl=$(cg_start launcher "$build/launcher/launcher" 45)
    awk -v b="$cb" -v h="$ch" -v l="$cl" 'BEGIN {
        printf "instructions to the first frame: bare %.1f M, home screen alone %.1f M, launcher %.1f M\n", b/1e6, h/1e6, l/1e6
        printf "start-up instructions: launcher / bare Qt %.2f, launcher / home screen alone %.2f\n", l/b, l/h }'
fi
rm -rf "$runs"
