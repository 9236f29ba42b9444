#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Vintrace and starts it on a sample capture.
#
# The application opens "usbdata.dat" from its working directory, which is build/demo: on
# the first run it receives a real full-speed capture from tests/data, later runs keep
# whatever capture is there.
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY) the window is served over VNC on
# port 5900 of this machine: connect any VNC viewer to localhost:5900.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target vintrace vintrace-cli

demo=build/demo
mkdir -p "$demo"
if [ ! -e "$demo/usbdata.dat" ]; then
    cp tests/data/fs-badge.dat "$demo/usbdata.dat"
fi
app="$PWD/build/dev/src/app/vintrace"
cd "$demo"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$app" "$@"
fi
echo "No display here: Vintrace is served over VNC. Connect a VNC viewer to localhost:5900."
echo "(Or run it under a virtual X server: xvfb-run -a $app)"
exec "$app" -platform vnc:size=1024x768:port=5900 "$@"
