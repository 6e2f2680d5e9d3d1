#!/usr/bin/env bash
# Static analysis of launcher/, the desktop framework (hostframework/,
# hostcommon/) and the simulator (mcu-sim/), from the compile commands of a
# build directory of its own (build-analysis: configured and moc'ed only):
#   .ci/analysis.sh clazy   clazy, the Qt-aware analyser, levels 0 and 1
#   .ci/analysis.sh tidy    clang-tidy with the small set of .clang-tidy
#                           (bugprone, performance)
# Fails on any finding: each is fixed, or suppressed where it stands with its
# reason (// clazy:exclude=<check>, // NOLINT(<check>)).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source "$root/tools/lib.sh"
tool=${1:-}
build=$root/build-analysis
dirs=(launcher hostframework hostcommon mcu-sim)

case $tool in
clazy | tidy) ;;
*) echo "analysis: expected clazy or tidy, got '$tool'" >&2; exit 2 ;;
esac
analysis_db "$build" "${dirs[@]}"
db=$build/analysis
mapfile -t sources < <(analysis_sources "$db")
log=$db/$tool.log
status=0
if [ "$tool" = clazy ]; then
    # Headers of these directories count too; Qt's and the generated ones do not.
    printf '%s\n' "${sources[@]}" \
        | xargs -P "$(nproc)" -n 4 clazy-standalone -p "$db" --checks=level0,level1 \
            --header-filter="^$root/($(IFS='|'; echo "${dirs[*]}"))/" \
            --ignore-dirs="^($build|/usr)/" >"$log" 2>&1 || status=$?
else
    run-clang-tidy -p "$db" -j "$(nproc)" -quiet "${sources[@]}" >"$log" 2>&1 || status=$?
fi
# Colour codes would hide a finding from grep.
if sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E ': (warning|error):' || [ "$status" -ne 0 ]; then
    sed 's/\x1b\[[0-9;]*m//g' "$log"
    echo "$tool: FAILED (exit $status): fix each finding, or suppress it in place with its reason"
    exit 1
fi
echo "$tool: no findings in ${#sources[@]} sources of ${dirs[*]}"
