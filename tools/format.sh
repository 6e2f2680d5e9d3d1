#!/usr/bin/env bash
# Formats every C++ file of the tree with .clang-format (clang-format 14, as
# Debian 12 has it). --check changes nothing and fails on any file that would change.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(-i)
[ "${1:-}" = --check ] && mode=(--dry-run --Werror)
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format "${mode[@]}"
