#!/usr/bin/env bash
# The CI gate checks itself: a stage whose middle step fails must fail the
# script, with and without STAGE_KEEP_GOING, and a stage called inside || must
# be refused rather than pass.
set -uo pipefail
cd "$(dirname "$0")/.."

expect_failure() {
    local what=$1 script=$2 out
    if out=$(bash -euo pipefail -c "source tools/stage.sh; f() { false; echo reached; }; $script" 2>&1); then
        echo "stagecheck: $what passed although its stage failed:"; echo "$out"; exit 1
    fi
    if grep -q reached <<<"$out" || ! grep -q FAILED <<<"$out"; then
        echo "stagecheck: $what ran on after the failing step or printed no FAILED line:"; echo "$out"; exit 1
    fi
}
expect_failure "a plain stage" 'stage probe f; echo next'
expect_failure "a stage under STAGE_KEEP_GOING" 'STAGE_KEEP_GOING=1; stage probe f; stage_status'
expect_failure "a stage inside ||" 'status=0; stage probe f || status=1; exit $status'
bash -euo pipefail -c 'source tools/stage.sh; stage probe true' >/dev/null \
    || { echo "stagecheck: a passing stage failed"; exit 1; }
echo "stagecheck: a failing stage fails the script"
