#!/usr/bin/env bash
# lintian on the packages CI built: .ci/lintian.sh <deb>...
# An error or a warning fails; what the packages override is shown with the
# reason they give, and informational tags are shown and let pass.
set -euo pipefail
[ $# -gt 0 ] || { echo "lintian: no packages given" >&2; exit 2; }
# --fail-on would count the overrides that --show-overrides prints, so the
# verdict is read from the tags instead; lintian's own status is for its faults.
out=$(lintian --display-info --show-overrides --fail-on none "$@" 2>&1)
# As root (CI) lintian says it would rather not be; that is no finding.
grep -v '^running with root privileges is not recommended!$' <<<"$out" || true
if grep -qE '^[EW]: ' <<<"$out"; then
    echo "lintian: errors or warnings in ${*##*/}"
    exit 1
fi
echo "lintian: no errors or warnings in ${*##*/}"
