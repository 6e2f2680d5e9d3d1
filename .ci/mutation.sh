#!/usr/bin/env bash
# A bounded mutation run: every mutant of the launcher sources this branch
# changed against main, then a sample of 15 with a fixed seed, until about ten
# minutes of mutants have run (the build of build-mutation comes first).
# Fails when a mutant survives that tools/mutation-equivalents.txt does not
# list with its reason. A full run: tools/mutate.py (no options).
#
#   .ci/mutation.sh [seconds]     (default 540)
set -euo pipefail
cd "$(dirname "$0")/.."
exec nice -n 15 python3 tools/mutate.py --changed main --sample 15 --seed 1 --budget "${1:-540}"
