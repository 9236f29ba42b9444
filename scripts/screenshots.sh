#!/usr/bin/env bash
# Regenerates the README's screenshots (docs/screenshots/*.png): Vintrace on a private
# virtual X server (Xvfb) showing the example recording, captured with ImageMagick's import.
# Needs: xvfb x11-utils imagemagick (Debian). Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/dev}
app=$build/src/app/vintrace
out=$here/docs/screenshots
for tool in Xvfb xwininfo import; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install xvfb x11-utils imagemagick)" >&2; exit 1; }
done
[ -x "$app" ] || { echo "no $app: build it first" >&2; exit 1; }

work=$(mktemp -d)
chmod 700 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses, and no other program's settings or analyzers.
display=99
while [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=:$display XDG_RUNTIME_DIR=$work HOME=$work
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

# Shows the window titled $1 of the program started with the other arguments, as $out/$2.
shoot() {
    local title=$1 name=$2
    shift 2
    "$@" > "$work/app.log" 2>&1 &
    local pid=$!
    local id=
    for _ in $(seq 100); do
        id=$(xwininfo -root -tree 2>/dev/null | awk -v t="\"$title\":" '$2 == t { print $1; exit }')
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { cat "$work/app.log" >&2; echo "no window '$title'" >&2; exit 1; }
    sleep 1 # let it finish drawing
    import -window "$id" "$out/$name.png"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "wrote $out/$name.png"
}

mkdir -p "$out"
cp "$here/tests/data/fs-badge.dat" "$work/fs-badge.dat"
shoot Vintrace main-window "$app" "$work/fs-badge.dat"
# The Transfers and Devices windows get theirs here once the main window can open them.
