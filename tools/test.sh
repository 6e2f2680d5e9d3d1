#!/usr/bin/env bash
# The whole test run: dependencies, build, unit and end-to-end tests.
# CI calls this through .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

stage() {
    local name=$1; shift
    local t0=$SECONDS
    echo "=== stage: $name"
    "$@"
    echo "=== stage: $name took $((SECONDS - t0)) s"
}

build_and_test() {
    cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$root/build" -j"$jobs"
    (cd "$root/build" && ctest -j"$jobs" --output-on-failure --timeout 300)
}

stage setup tools/setup.sh
stage tests build_and_test
