#!/usr/bin/env bash
# Builds and runs every benchmark and prints each figure next to its baseline.
#   tools/bench.sh [build-dir]        (default: build-bench)
# BENCH_ROUNDS (default 7) and BENCH_STARTS (default 7) set the repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-$root/build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
rounds=${BENCH_ROUNDS:-7}
starts=${BENCH_STARTS:-7}

section() { echo; echo "=== $*"; }

section build
cmake -S "$root" -B "$build" -DLAUNCHER_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target launcher-bench bench-bareqt bench-startprobe launcher
bench=$build/bench/launcher-bench

section "1. inbound path"
"$bench" inbound "$rounds"

section "2. allocations"
"$bench" alloc

section "3. event path"
"$bench" event 5 2>/dev/null

section "4. send path"
"$bench" send 1

section "6. instruction counts (callgrind)"
if command -v valgrind >/dev/null && command -v callgrind_annotate >/dev/null; then
    frames=20000
    work=$(mktemp -d)
    printf '%-9s %10s %10s %10s %10s %14s %12s\n' frames raw ours literal full "ours-raw" "literal/ours"
    for kind in normal16 long20 long268; do
        declare -A ir=()
        for variant in raw ours literal full; do
            valgrind --tool=callgrind --callgrind-out-file="$work/$kind.$variant" \
                "$bench" callgrind "$variant" "$frames" "$kind" >/dev/null 2>&1
            fn=consume${variant^}
            count=$(callgrind_annotate --inclusive=yes --threshold=100 "$work/$kind.$variant" 2>/dev/null \
                    | grep -m1 "::$fn(" | awk '{gsub(",", "", $1); print $1}')
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
    wrap=(unshare --net --mount --propagation private sh -c 'mount -t tmpfs bench-tmp /tmp && exec "$@"' sh
          setpriv --bounding-set=-sys_time --inh-caps=-sys_time)
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
        if grep -q "boot timeline:\|bareqt: first-frame=" "$log" && grep -q "startprobe: event-loop=" "$log"; then
            break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    local first loop
    first=$(sed -n 's/.*boot timeline: first-frame=\([0-9.]*\) ms.*/\1/p; s/^bareqt: first-frame=\([0-9.]*\) ms.*/\1/p' "$log" | head -1)
    loop=$(sed -n 's/^startprobe: event-loop=\([0-9.]*\) ms.*/\1/p' "$log" | head -1)
    local main=$(sed -n 's/^startprobe: loaded=\([0-9.]*\) ms.*/\1/p' "$log" | head -1)
    echo "${first:-nan} ${loop:-nan} ${main:-nan}"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$runs/launcher.txt"
: >"$runs/bare.txt"
for ((r = 0; r < starts; r++)); do
    start_once bare "$build/bench/bench-bareqt" >>"$runs/bare.txt"
    start_once launcher "$build/launcher/launcher" >>"$runs/launcher.txt"
done
lf=$(awk '{print $1}' "$runs/launcher.txt" | median); ll=$(awk '{print $2}' "$runs/launcher.txt" | median)
bf=$(awk '{print $1}' "$runs/bare.txt" | median); bl=$(awk '{print $2}' "$runs/bare.txt" | median)
lm=$(awk '{print $3}' "$runs/launcher.txt" | median); bm=$(awk '{print $3}' "$runs/bare.txt" | median)
echo "# medians of $starts starts, ms since process start (/proc/self/stat starttime, 10 ms ticks)"
printf '%-36s %10s %10s %8s\n' "" "bare Qt" launcher ratio
awk -v b="$bm" -v l="$lm" 'BEGIN { printf "%-36s %10.1f %10.1f %8.2f\n", "libraries loaded (main entered)", b, l, l/b }'
awk -v b="$bl" -v l="$ll" 'BEGIN { printf "%-36s %10.1f %10.1f %8.2f\n", "event loop running", b, l, l/b }'
awk -v b="$bf" -v l="$lf" 'BEGIN { printf "%-36s %10.1f %10.1f %8.2f\n", "first frame flushed (procFlushDone)", b, l, l/b }'
awk -v b="$bl" -v l="$ll" -v bm="$bm" -v lm="$lm" 'BEGIN { printf "%-36s %10.1f %10.1f %8.2f\n", "main to event loop", b-bm, l-lm, (l-lm)/(b-bm) }'
awk -v b="$bf" -v l="$lf" 'BEGIN { printf "start-up: launcher / bare Qt to the first frame: %.2f (target <= 1.2)\n", l/b }'
rm -rf "$runs"
