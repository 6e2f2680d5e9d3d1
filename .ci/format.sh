#!/usr/bin/env bash
# Fails when a C++ file has drifted from .clang-format; tools/format.sh mends it.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! bash tools/format.sh --check; then
    echo "format: the files above differ from .clang-format; run tools/format.sh"
    exit 1
fi
echo "format: every C++ file matches .clang-format"
