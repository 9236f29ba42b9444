#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Vintrace and starts it with the analyzer emulator
# attached, on a sample capture.
#
# The application opens "usbdata.dat" from its working directory, build/demo: on the first run
# it receives a real full-speed capture from tests/data, later runs keep whatever capture is
# there. The emulator plays the capture box: press Start to take a new capture.
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY) the window is served over VNC on
# port 5900 of this machine: connect any VNC viewer to localhost:5900.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target vintrace vintrace-cli vintrace-analyzer-emu

demo=build/demo
mkdir -p "$demo"
if [ ! -e "$demo/usbdata.dat" ]; then
    cp tests/data/fs-badge.dat "$demo/usbdata.dat"
fi
bin="$PWD/build/dev"

# The emulator and the application find each other in the same per-user device directory.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="/tmp/vintrace-run-$(id -u)"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
"$bin/emulator/vintrace-analyzer-emu" 2>"$demo/emulator.log" &
emulator=$!
trap 'kill "$emulator" 2>/dev/null || true; wait "$emulator" 2>/dev/null || true' EXIT

cd "$demo"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    "$bin/src/app/vintrace" "$@"
else
    echo "No display here: Vintrace is served over VNC. Connect a VNC viewer to localhost:5900."
    echo "(Or run it under a virtual X server: xvfb-run -a $bin/src/app/vintrace)"
    "$bin/src/app/vintrace" -platform vnc:size=1024x768:port=5900 "$@"
fi
