# Sourced by the CI scripts: runs one named stage and says how long it took.
#
#   stage <name> <command...>   runs the command in a subshell with -e of its
#       own; returns its exit status and prints a FAILED line when it fails.
#   STAGE_KEEP_GOING=1          a failed stage returns 0, so later stages still
#       run; stage_status at the end then fails the script.
#
# Never call stage as `stage ... || ...`, in `if` or after `!`: bash switches -e
# off for everything inside such a command, so a failing step in the middle of
# a stage would go unnoticed. stage refuses to run there.
stage_failed=()

stage() {
    local name=$1; shift
    local t0=$SECONDS rc errexit
    echo "=== stage: $name"
    set +e
    (set -e; false; exit 0)
    errexit=$?
    if [ "$errexit" -eq 0 ]; then
        set -e
        echo "=== stage: $name FAILED: called where the shell ignores errors (||, &&, if, !)"
        stage_failed+=("$name")
        return 2
    fi
    (set -e; "$@")
    rc=$?
    set -e
    # Every later stage (and apt) writes there; a tool that replaced it as root
    # would break them far from the cause.
    if [ "$rc" -eq 0 ] && [ ! -c /dev/null ]; then
        echo "=== stage: $name left /dev/null as something else than the null device"
        rc=1
    fi
    if [ "$rc" -ne 0 ]; then
        echo "=== stage: $name FAILED (exit $rc) after $((SECONDS - t0)) s"
        stage_failed+=("$name")
        [ "${STAGE_KEEP_GOING:-0}" = 1 ] && return 0
        return "$rc"
    fi
    echo "=== stage: $name took $((SECONDS - t0)) s"
}

# Exit status of a script that ran its stages with STAGE_KEEP_GOING=1.
stage_status() {
    if [ ${#stage_failed[@]} -gt 0 ]; then
        echo "=== FAILED stages: ${stage_failed[*]}"
        return 1
    fi
}
