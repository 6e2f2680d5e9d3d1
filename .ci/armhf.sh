#!/usr/bin/env bash
# The armhf stage: cross toolchain (tools/setup.sh armhf adds the armhf
# architecture to the machine and installs what is missing), cross build, the
# test suite under qemu-arm, and the armhf Debian packages, checked with lintian.
#
#   .ci/armhf.sh    every test but those labelled host-only (they start
#                   programs or a sound server, which emulation cannot do)
#
# Build directory: build-armhf (ARMHF_BUILD_DIR overrides it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ARMHF_BUILD_DIR:-$root/build-armhf}
jobs=$(nproc)
# Emulated tests are slow to start (Qt's libraries are loaded through the
# translator); a test that hangs must not hold the stage for long.
test_timeout=${ARMHF_TEST_TIMEOUT:-600}

source "$root/tools/stage.sh"
source "$root/tools/lib.sh"

cross_build() {
    cmake -S "$root" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$jobs"
}

# Under qemu-user Qt cannot start child processes (clone with CLONE_PIDFD is
# refused), and QProcess then signals pid -1: kill(-1, SIGKILL), which as root
# takes down every process on the machine. The tests that start programs are
# labelled host-only; the suite still runs in a PID namespace of its own so
# that any such slip stays inside it.
pid_sandbox=()
if unshare --pid --fork --kill-child --mount-proc true 2>/dev/null; then
    pid_sandbox=(unshare --pid --fork --kill-child --mount-proc)
elif unshare --map-root-user --pid --fork --kill-child --mount-proc true 2>/dev/null; then
    pid_sandbox=(unshare --map-root-user --pid --fork --kill-child --mount-proc)
else
    echo "armhf: no PID namespace available; running the emulated tests unconfined" >&2
fi

emulated_tests() {
    (cd "$build" && "${no_clock_as_root[@]}" "${pid_sandbox[@]}" ctest -j"$jobs" --output-on-failure --timeout "$test_timeout" -LE host-only)
}

package() {
    rm -f "$build"/*.deb
    (cd "$build" && cpack -G DEB)
    ls -l "$build"/*.deb
    bash "$root/.ci/lintian.sh" "$build"/*.deb
}

stage armhf-toolchain bash "$root/tools/setup.sh" armhf
stage armhf-build cross_build
stage armhf-tests emulated_tests
stage armhf-package package
