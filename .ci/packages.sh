#!/usr/bin/env bash
# The packages of the machine's own architecture, made from a build that is
# already there (default build/, the one the test stage built):
#   1. launcher, libhostframework1 and mcu-sim with cpack;
#   2. lintian on them (.ci/lintian.sh);
#   3. the launcher's systemd unit checked with systemd-analyze, in the tree
#      the packages unpack to;
#   4. the installed mcu-sim plays its normal boot against the installed
#      launcher, unpacked with dpkg -x into a throwaway directory, offscreen,
#      in a network namespace of its own and without the right to set the clock,
#      capturing the session with --pcap;
#   5. tshark, with no option, decodes that capture through the installed
#      dissector as the simulator decoded it.
#
#   .ci/packages.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "${1:-$root/build}")
arch=$(dpkg --print-architecture)
packages=(launcher libhostframework1 mcu-sim)

source "$root/tools/stage.sh"
source "$root/tools/lib.sh"

# Throwaway tree beside the build rather than in /tmp: the run below puts a
# private /tmp over the real one.
work=$build/package-check
trap 'rm -rf "$work"' EXIT

make_packages() {
    rm -f "$build"/*.deb
    (cd "$build" && cpack -G DEB)
    # Every package names this commit, and sorts above a build of the one before.
    local base version p
    base=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    version=$(sh "$root/packaging/version.sh" version "$base")
    for p in "${packages[@]}"; do
        if [ "$(dpkg-deb -f "$(deb "$p")" Version)" != "$version" ]; then
            echo "packages: $p is not version $version"; return 1
        fi
    done
    if [[ $version != 0~* ]] && git -C "$root" rev-parse -q --verify HEAD~1 >/dev/null; then
        local before
        before=$(sh "$root/packaging/version.sh" version "$base" HEAD~1)
        # Without the hashes: the order must not rest on how they happen to compare.
        dpkg --compare-versions "${version%.g*}" gt "${before%.g*}" \
            || { echo "packages: $version does not sort above the previous commit's $before"; return 1; }
    fi
    # The unit's image must not get the stand-in through the launcher.
    if dpkg-deb -f "$(deb launcher)" Depends Pre-Depends Recommends | grep -q hostframework; then
        echo "packages: launcher depends on the framework stand-in"; return 1
    fi
    ls -l "$build"/*.deb
}

# The one package of that name this build made.
deb() {
    local found=("$build/$1"_*_"$arch".deb)
    if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
        echo "packages: expected one $1 package for $arch in $build, found: ${found[*]}" >&2
        return 1
    fi
    echo "${found[0]}"
}

unpack() {
    rm -rf "$work"
    mkdir -p "$work/root" "$work/config" "$work/runtime"
    chmod 700 "$work/runtime"
    local p
    for p in "${packages[@]}"; do
        dpkg -x "$(deb "$p")" "$work/root"
    done
}

lint() {
    local debs=() p
    for p in "${packages[@]}"; do
        debs+=("$(deb "$p")")
    done
    bash "$root/.ci/lintian.sh" "${debs[@]}"
}

# systemd-analyze only warns about unknown keys or bad values, so any output
# fails. With --root it resolves the unit's program and dependencies inside the
# tree, which gets the machine's own units for the targets.
check_unit() {
    unpack
    local unit=$work/root/usr/lib/systemd/system/launcher.service out rc=0
    mkdir -p "$work/root/etc/systemd/system" "$work/root/lib/systemd/system"
    cp -an /lib/systemd/system/. "$work/root/lib/systemd/system/"
    out=$(MANPATH=$work/root/usr/share/man systemd-analyze verify --root="$work/root" launcher.service 2>&1) || rc=$?
    if [ "$rc" -ne 0 ] || [ -n "$out" ]; then
        echo "$out"; echo "packages: systemd-analyze verify found faults in launcher.service"; return 1
    fi
    grep -qx 'Restart=on-failure' "$unit" || { echo "packages: the unit does not restart the launcher"; return 1; }
    grep -qx 'AmbientCapabilities=CAP_SYS_TIME' "$unit" || { echo "packages: the unit does not grant CAP_SYS_TIME"; return 1; }
    grep -qx 'Type=notify' "$unit" && grep -q '^WatchdogSec=[1-9]' "$unit" \
        || { echo "packages: the unit does not wait for readiness or keep a watchdog"; return 1; }
    echo "packages: launcher.service verified"
}

# Run inside the namespaces: the two installed programs against each other.
run_installed() {
    local bin=$work/root/usr/bin sim_status=0 launcher_status=0
    # A bash of its own in the namespace.
    source "$root/tools/lib.sh"
    # The RUNPATH must lead the installed launcher to the unpacked stand-in,
    # not to a copy elsewhere on the machine.
    ldd "$bin/launcher" | grep -F "libhostframework.so.1 => $bin/../lib/libhostframework.so.1" \
        || { echo "packages: the installed launcher does not load the unpacked libhostframework"; return 1; }
    export QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime

    # By name, as a user would: the installed simulator finds its scenarios
    # beside itself.
    "$bin/mcu-sim" --scenario normal-boot --exit-after-idle 3000 --summary \
        --pcap "$work/normal-boot.pcapng" \
        </dev/null >"$work/mcu-sim.log" 2>&1 &
    sim=$!
    wait_for_listening "$work/mcu-sim.log" "$sim" \
        || { echo "packages: mcu-sim --scenario normal-boot did not start:"; cat "$work/mcu-sim.log"; return 1; }
    # The scenario sets the clock: the launcher runs without that right.
    "${no_clock[@]}" "$bin/launcher" \
        >"$work/launcher.out" 2>"$work/launcher.log" &
    launcher=$!
    wait "$sim" || sim_status=$?
    kill -TERM "$launcher" 2>/dev/null || true
    wait "$launcher" || launcher_status=$?

    cat "$work/mcu-sim.log"
    echo "packages: mcu-sim exited with $sim_status, launcher with $launcher_status"
    if [ "$sim_status" -ne 0 ] || [ "$launcher_status" -ne 0 ] || ! grep -q '^summary: 1 connection' "$work/mcu-sim.log"; then
        echo "packages: the installed run failed; the launcher's log:"; tail -n 40 "$work/launcher.log"
        return 1
    fi
}

installed_run() {
    unpack
    export work root
    export -f run_installed
    # The launcher's fixed socket names stay this run's own: the abstract one
    # in a network namespace, /tmp/_vartk in a private /tmp (unless the tree
    # itself lives in /tmp, which a private one would hide).
    # The scenario gives up on its own after its waits; the bound is for a
    # launcher that does not end on SIGTERM.
    private_names_for "$work"
    timeout -k 10 300 "${private_names[@]}" bash -c run_installed
}

# Run in a mount namespace: the package's plugin folder laid over the
# machine's, as installing it would make it, without touching the machine.
check_dissector() {
    local dir plugins info expected
    dir=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
    [ -f "$work/root$dir/mculink.lua" ] \
        || { echo "packages: mcu-sim does not put mculink.lua into $dir, where tshark looks"; return 1; }
    mount -t overlay overlay -o "lowerdir=$work/root$dir:$dir" "$dir"
    plugins=$(tshark -G plugins 2>/dev/null)
    grep -q "^mculink.lua.*lua script" <<<"$plugins" \
        || { echo "packages: tshark does not load the installed mculink.lua"; return 1; }
    info=$(tshark -r "$work/normal-boot.pcapng" -T fields -e _ws.col.Info 2>/dev/null)
    expected=$(sed -n 's/^[<>] //p' "$work/mcu-sim.log")
    if [ "$info" != "$expected" ]; then
        echo "packages: tshark's Info column differs from what mcu-sim printed:"
        diff <(echo "$expected") <(echo "$info") || true
        return 1
    fi
    tshark -r "$work/normal-boot.pcapng" 2>/dev/null
}

installed_dissector() {
    export work
    export -f check_dissector
    unshare -m bash -c check_dissector
}

stage packages-build make_packages
stage packages-lintian lint
stage packages-unit check_unit
stage packages-run installed_run
stage packages-dissector installed_dissector
