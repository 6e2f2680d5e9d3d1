#!/usr/bin/env bash
# Line and branch coverage of launcher/ from the whole suite: a build of its own
# with --coverage (unoptimised, so lines are lines), the suite, then gcovr's
# figures and the lines and branches no test reaches.
#
#   .ci/coverage.sh [build dir]     (default build-coverage)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-$root/build-coverage}
source "$root/tools/lib.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 --coverage" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
    -DCMAKE_MODULE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j"$(nproc)"
# Counts from an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
(cd "$build" && LAUNCHER_TEST_REQUIRE_AUDIO=1 "${no_clock_as_root[@]}" ctest -j"$(nproc)" --output-on-failure --timeout 300)

# Branches the compiler adds for exceptions and for code it can prove dead are
# no decisions of ours.
report=(gcovr --root "$root" --object-directory "$build" --filter "$root/launcher/"
        --exclude-unreachable-branches --exclude-throw-branches)
"${report[@]}" --txt --sort-percentage
"${report[@]}" --txt --branches --sort-percentage
# The report itself to a file of the build: gcovr tries an output file by
# creating and then deleting it, which as root would take /dev/null away.
"${report[@]}" --print-summary --txt "$build/coverage.txt"
