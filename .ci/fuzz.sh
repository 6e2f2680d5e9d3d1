#!/usr/bin/env bash
# Builds the MCU link fuzzer with clang (ASan + UBSan + libFuzzer) and runs it
# for a bounded time: .ci/fuzz.sh [seconds] (default 60).
# Fails when the fuzzer finds a crash; the input is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source "$root/tools/lib.sh"
seconds=${1:-60}
build=$root/build-fuzz
t0=$SECONDS

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DLAUNCHER_SANITIZE=address,undefined -DLAUNCHER_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_mculink
echo "=== fuzz: build took $((SECONDS - t0)) s"

# New inputs go to a scratch directory; the seeds in the repo stay as they are.
work=$build/corpus-work
mkdir -p "$work" "$build/artifacts"
sanitizer_options
log=$build/fuzz.log
t1=$SECONDS
status=0
"$build/fuzz/fuzz_mculink" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    "$work" "$root/fuzz/corpus" >"$log" 2>&1 || status=$?

# The last status line carries the coverage reached (cov: edges, ft: features).
grep -E '^#[0-9]+' "$log" | tail -n 1 || true
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$log" || true
echo "=== fuzz: ran $((SECONDS - t1)) s, stage took $((SECONDS - t0)) s"
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "=== fuzz: FAILED (exit $status); reproduce with: $build/fuzz/fuzz_mculink <artifact>"
fi
exit "$status"
