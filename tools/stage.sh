# Sourced by the CI scripts: runs one named stage and says how long it took.
stage() {
    local name=$1; shift
    local t0=$SECONDS
    echo "=== stage: $name"
    "$@"
    echo "=== stage: $name took $((SECONDS - t0)) s"
}
