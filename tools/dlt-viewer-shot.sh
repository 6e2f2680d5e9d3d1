#!/usr/bin/env bash
# Takes the README's screenshot of DLT Viewer: the demo's recorded DLT session
# (build/demo/session.dlt) opened in the viewer on a private X server. Installs
# what is missing, runs the demo (which builds what it runs), and stops
# everything it started.
#   tools/dlt-viewer-shot.sh [build-dir] [output.png]
# DEMO_DLT_PORT is passed on to the demo when its port is taken.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(realpath -m "${1:-build}")
OUT=$(realpath -m "${2:-docs/dlt-viewer.png}")

bash tools/setup.sh screenshot
SESSION=$BUILD/demo/session.dlt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The launcher learns its levels from the daemon a moment after it starts; on
# a busy machine the demo's last key press can come before them, and then the
# picture would lack the press's lines and its frame. Another run then.
for attempt in 1 2 3; do
    DEMO_BUILD_DIR=$BUILD bash tools/demo.sh >/dev/null
    dlt-convert -a "$SESSION" >"$work/session.txt"
    grep -q 'LINK log debug .*Main app normal msg:13078' "$work/session.txt" &&
        grep -q 'MCUF nw_trace' "$work/session.txt" && break
    echo "dlt-viewer-shot: run $attempt of the demo missed the key press in DLT" >&2
    [ "$attempt" -lt 3 ] || exit 1
done
mkdir -p "$(dirname "$OUT")"

# The viewer keeps its settings and plugin data under HOME: a private one.
status=0
HOME=$work XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work \
    xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    set -u
    session=$1 work=$2
    # Stopped whatever happens, so it does not outlive the X server.
    viewer=
    trap '\''[ -z "$viewer" ] || kill -TERM "$viewer" 2>/dev/null; wait'\'' EXIT
    dlt-viewer -s -l "$session" >"$work/viewer.log" 2>&1 &
    viewer=$!
    # The file is small: a few seconds load it and scroll to its end.
    sleep 8
    kill -0 "$viewer" 2>/dev/null || { echo "dlt-viewer-shot: dlt-viewer ended early" >&2; exit 1; }
    import -window root "$work/root.png"' _ "$SESSION" "$work" || status=$?
[ "$status" -eq 0 ] || exit "$status"
# Without a window manager the main window keeps its first-start size in the
# top left corner; the rest of the screen is empty.
convert "$work/root.png" -crop 1060x658+0+0 +repage "$OUT"
echo "dlt-viewer-shot: $OUT"
