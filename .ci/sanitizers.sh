#!/usr/bin/env bash
# Sanitizer builds (gcc):
#  1. the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#  2. the link's concurrency tests (ctest label "concurrency") under ThreadSanitizer.
# Each stage prints how long it took. Suppressions live in tools/*.supp.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

source "$root/tools/stage.sh"
source "$root/tools/lib.sh"

configure() {
    cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAUNCHER_BUILD_TESTS=ON \
        -DLAUNCHER_SANITIZE="$2" >/dev/null
}

asan_build() {
    configure "$root/build-asan" address,undefined
    cmake --build "$root/build-asan" -j"$jobs"
}

asan_test() {
    # A report ends the process (-fno-sanitize-recover), and so fails the test.
    # verify_asan_link_order=0: the end-to-end test preloads its journal tracer
    # into the launcher, which puts that library ahead of the ASan runtime.
    sanitizer_options detect_stack_use_after_return=1:verify_asan_link_order=0
    (cd "$root/build-asan" && "${no_clock_as_root[@]}" ctest -j2 --output-on-failure --timeout 600)
}

tsan_build() {
    configure "$root/build-tsan" thread
    cmake --build "$root/build-tsan" -j"$jobs" --target tst_mainappprotocolcomm
}

tsan_test() {
    sanitizer_options
    (cd "$root/build-tsan" && "${no_clock_as_root[@]}" ctest -j2 --output-on-failure --timeout 900 -L concurrency)
}

# Both builds run even when the first one's tests fail; the script fails at the end.
STAGE_KEEP_GOING=1
stage asan-build asan_build
stage asan-test asan_test
stage tsan-build tsan_build
stage tsan-test tsan_test
stage_status
