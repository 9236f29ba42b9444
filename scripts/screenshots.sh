#!/usr/bin/env bash
# Regenerates the README's screenshots (docs/screenshots/*.png): Vintrace on a private
# virtual X server (Xvfb) showing the example recording, captured with ImageMagick's import.
# Needs: xvfb x11-utils imagemagick xdotool (Debian). Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/dev}
app=$build/src/app/vintrace
out=$here/docs/screenshots
for tool in Xvfb xwininfo import xdotool; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install xvfb x11-utils imagemagick xdotool)" >&2; exit 1; }
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

# The id of the window titled $1, or "$1 — file", waited for (10 s at most).
window_id() {
    local id=
    for _ in $(seq 100); do
        id=$(xwininfo -root -tree 2>/dev/null |
            awk -v a="\"$1\":" -v b="\"$1 —" '$2 == a || index($0, b) { print $1; exit }')
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    cat "$work/app.log" >&2
    echo "no window '$1'" >&2
    return 1
}

# Writes the window titled $1 to $out/$2.png once it has finished drawing.
shoot() {
    local id
    id=$(window_id "$1")
    sleep 1
    import -window "$id" "$out/$2.png"
    echo "wrote $out/$2.png"
}

# Opens the View menu item $1 places above its end (1 = the last item) with the keyboard,
# as a user would: a click on "View" in the menu bar, then Up and Return.
open_from_view_menu() {
    local main
    main=$(window_id Vintrace)
    # Without a window manager nothing raises it when another window lies over its menu bar.
    xdotool windowraise "$main"
    # "View" in the menu bar: its x is fixed by the captions before it.
    xdotool mousemove --window "$main" 235 8 click 1
    sleep 0.5
    for _ in $(seq "$1"); do xdotool key Up; done
    xdotool key Return
}

mkdir -p "$out"
cp "$here/tests/data/fs-badge.dat" "$work/fs-badge.dat"
"$app" "$work/fs-badge.dat" > "$work/app.log" 2>&1 &
pids+=($!)
shoot Vintrace main-window
# The View menu ends: Transfers..., Devices..., Problems..., Next Problem, Previous Problem.
open_from_view_menu 5
transfers=$(window_id Transfers)
sleep 1
# The whole configuration descriptor chosen by a click on its row (record 151), so the detail
# pane shows its fields, and a click on one field lights its bytes.
xdotool mousemove --window "$transfers" 300 246 click 1
sleep 0.5
xdotool mousemove --window "$transfers" 100 528 click 1
shoot Transfers transfers-window
open_from_view_menu 4
devices=$(window_id Devices)
sleep 1
# The first device's configuration descriptor chosen and opened by a click and Right.
xdotool mousemove --window "$devices" 150 75 click 1
xdotool key Right
shoot Devices devices-window
