#!/bin/sh
# The packages' version and changelog, both from the git history of the tree
# this script sits in.
#
#   version.sh version BASE [REV]                  prints the Debian version of
#                                                  REV (default HEAD)
#   version.sh changelog BASE PACKAGE MAINTAINER   prints PACKAGE's changelog
#
# A tag vX.Y.Z names a release, built as X.Y.Z. A commit N commits after it is
# X.Y.Z+gitN.gHASH; before the first tag BASE (the project's version) takes the
# tag's place and N counts from the first commit. A descendant always counts
# more commits, so every build of a later commit sorts higher. The first tag
# must name a version above BASE, or it would sort below the builds before it.
# Without the history (a shallow clone, no git) the version is 0~..., below
# every real build: such a package never passes for a newer one.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
command=${1:?usage: version.sh version|changelog BASE [REV | PACKAGE MAINTAINER]}
base=${2:?BASE missing}
rev=HEAD
[ "$command" != version ] || rev=${3:-HEAD}
export LC_ALL=C

g() { git -C "$top" "$@"; }

tag="" since=""
if ! g rev-parse --verify -q HEAD >/dev/null 2>&1; then
    version="0~nogit"
    echo "version.sh: $top is no git checkout; version $version" >&2
elif [ "$(g rev-parse --is-shallow-repository)" = true ]; then
    version="0~shallow.g$(g rev-parse --short=7 "$rev")"
    echo "version.sh: shallow clone, commits cannot be counted; version $version (git fetch --unshallow)" >&2
else
    hash=g$(g rev-parse --short=7 "$rev")
    if described=$(g describe --tags --long --match 'v[0-9]*' "$rev" 2>/dev/null); then
        # vX.Y.Z-N-gHASH; the tag itself may contain dashes.
        count=${described%-g*}
        tag=${count%-*}
        count=${count##*-}
        since="$tag.."
        # A dash would start a Debian revision; ~ keeps v2.0-rc1 below v2.0.
        upstream=$(printf %s "${tag#v}" | tr - "~")
    else
        count=$(g rev-list --count "$rev")
        upstream=$base
    fi
    if [ "$count" -eq 0 ]; then
        version=$upstream
    else
        version=$upstream+git$count.$hash
    fi
fi

case $command in
version)
    echo "$version" ;;
changelog)
    package=${3:?PACKAGE missing} maintainer=${4:?MAINTAINER missing}
    printf '%s (%s) unstable; urgency=medium\n\n' "$package" "$version"
    if g rev-parse --verify -q HEAD >/dev/null 2>&1; then
        # Newest first, merges left out: they only say which branch came in.
        # Folded to stay within the 80 columns a changelog line may have.
        changes=$(g log --no-merges --format=%s -n 200 ${since:+"${since}HEAD"})
        [ -n "$changes" ] || changes="Release $version."
        printf '%s\n' "$changes" | while IFS= read -r subject; do
            printf '%s\n' "$subject" | fold -s -w 74 | sed -e 's/ *$//' -e '1s/^/  * /' -e '2,$s/^/    /'
        done
        date=$(g log -1 --format=%cd --date=format:'%a, %d %b %Y %H:%M:%S %z')
    else
        echo "  * Built outside a git checkout."
        date=$(date -R)
    fi
    printf '\n -- %s  %s\n' "$maintainer" "$date" ;;
*)
    echo "version.sh: unknown command '$command'" >&2; exit 2 ;;
esac
