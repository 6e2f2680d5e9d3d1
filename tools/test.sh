#!/usr/bin/env bash
# The whole test run, each stage timed: dependencies, the format, clazy and
# clang-tidy, the unit's C++11 and Qt 5.3 floor, build and the suite, the
# packages (lintian, the installed programs run), coverage, a bounded mutation
# run, the suite under the sanitizers, the fuzzer, and the armhf build under
# emulation with its packages.
# CI calls this through .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

source "$root/tools/stage.sh"
source "$root/tools/lib.sh"

build_and_test() {
    cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$root/build" -j"$jobs"
    (cd "$root/build" && LAUNCHER_TEST_REQUIRE_AUDIO=1 "${no_clock_as_root[@]}" ctest -j"$jobs" --output-on-failure --timeout 300)
}

stage stagecheck bash .ci/stagecheck.sh
stage setup tools/setup.sh test
stage format bash .ci/format.sh
stage clazy bash .ci/analysis.sh clazy
stage tidy bash .ci/analysis.sh tidy
stage unitfloor bash .ci/unitfloor.sh
stage tests build_and_test
stage packages bash .ci/packages.sh "$root/build"
stage coverage bash .ci/coverage.sh
stage mutation bash .ci/mutation.sh
stage sanitizers bash .ci/sanitizers.sh
stage fuzz bash .ci/fuzz.sh 60
stage armhf bash .ci/armhf.sh
echo "=== all stages passed in $SECONDS s"
