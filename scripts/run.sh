#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Vintrace and starts it with the analyzer emulator
# attached, on a sample capture.
#
# The application opens "usbdata.dat" from its working directory, build/demo: on the first run
# it receives a real full-speed capture from tests/data, later runs keep whatever capture is
# there. The emulator plays the capture box: press Start to take a new capture. Its bus carries
# a low-speed mouse behind a hub, a serial port and a disk, each enumerating and then busy with
# its class traffic.
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY) the window is drawn on a private virtual X
# server and served over VNC on the loopback interface only, port 5900: connect a VNC viewer to
# localhost:5900 here, or from another machine through `ssh -L 5900:localhost:5900 HOST`.
#
# Settings, all optional:
#   VINTRACE_VNC_PORT=N       serve VNC on loopback port N instead of 5900
#   VINTRACE_RUN_NO_BUILD=1   skip installing packages and building (use what is built)
#   VINTRACE_BUILD_DIR=DIR    where the built programs are (default build/dev)
#   VINTRACE_DEMO_DIR=DIR     working directory of the application (default build/demo)
#   VINTRACE_DEVICES="..."    the emulated devices, up to four of mouse, keyboard, serial, disk
#                             and vendor (default "mouse serial disk")
#
# Everything the script starts is stopped when it ends, however it ends (short of SIGKILL).
set -euo pipefail
# Directories given in settings are taken relative to where the script was started.
build_dir=$(realpath -m -- "${VINTRACE_BUILD_DIR:-$(dirname "$0")/../build/dev}")
demo=$(realpath -m -- "${VINTRACE_DEMO_DIR:-$(dirname "$0")/../build/demo}")
cd "$(dirname "$0")/.."

fail() {
    echo "run.sh: $*" >&2
    exit 1
}

# The emulator and the application meet in the device directory, so only its owner may reach
# into it: a real directory (not a symlink), ours, with no group or other permission bits.
check_private_dir() {
    local dir=$1 info type owner mode
    info=$(stat -c '%F:%u:%a' -- "$dir" 2>/dev/null) || fail "$dir: no such directory"
    IFS=: read -r type owner mode <<<"$info"
    if [ "$type" != directory ]; then
        fail "refusing $dir: it is a $type, not a directory"
    fi
    if [ "$owner" != "$(id -u)" ]; then
        fail "refusing $dir: it belongs to user $owner, not to you ($(id -u))"
    fi
    if (((8#$mode & 8#077) != 0)); then
        fail "refusing $dir: other users have access (mode $mode); make it mode 700"
    fi
}

emulator_args=()
for device in ${VINTRACE_DEVICES-mouse serial disk}; do
    case $device in
    mouse | keyboard | serial | disk | vendor) emulator_args+=(--device "$device") ;;
    *) fail "VINTRACE_DEVICES: '$device' is none of mouse, keyboard, serial, disk, vendor" ;;
    esac
done
if ((${#emulator_args[@]} > 8)); then
    fail "VINTRACE_DEVICES: at most four devices fit on the emulated bus"
fi

port=${VINTRACE_VNC_PORT:-5900}
if ! [[ $port =~ ^[0-9]{1,5}$ ]] || ((10#$port < 1 || 10#$port > 65535)); then
    fail "VINTRACE_VNC_PORT=$port is not a TCP port number"
fi
port=$((10#$port))

headless=1
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    headless=0
fi

# A caller's own runtime directory is used only if it is private; checked before the long build.
# A relative one is no runtime directory at all (the programs would ignore it).
if [[ ${XDG_RUNTIME_DIR:-} != /* ]]; then
    unset XDG_RUNTIME_DIR
else
    check_private_dir "$XDG_RUNTIME_DIR"
fi

if [ "${VINTRACE_RUN_NO_BUILD:-}" != 1 ]; then
    bash scripts/install-deps.sh
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target vintrace vintrace-analyzer-emu
fi
[ -d "$build_dir" ] || fail "$build_dir: no build directory"
emulator_bin="$build_dir/emulator/vintrace-analyzer-emu"
app_bin="$build_dir/src/app/vintrace"
for b in "$emulator_bin" "$app_bin"; do
    [ -x "$b" ] || fail "$b is not built"
done
if ((headless)); then
    for tool in Xvfb x11vnc xauth ss; do
        command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
    done
    # x11vnc would fail too, but a named port in use deserves a clearer word than its log.
    if [ -n "$(ss -ltnH "sport = :$port")" ]; then
        fail "TCP port $port is already in use here; choose another with VINTRACE_VNC_PORT=N"
    fi
fi

mkdir -p "$demo"
if [ ! -e "$demo/usbdata.dat" ]; then
    cp tests/data/fs-badge.dat "$demo/usbdata.dat"
fi

# Private files of this run (X authority, the display number) and, when the caller has no
# runtime directory, the device directory: fresh from mktemp, so nobody can have planted it.
run_dir=$(mktemp -d "${TMPDIR:-/tmp}/vintrace-run.XXXXXX")
check_private_dir "$run_dir"

started=()
running() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}
stop_all() {
    local pid deadline=$((SECONDS + 5)) alive
    for pid in "${started[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    while :; do
        alive=()
        for pid in "${started[@]}"; do
            if running "$pid"; then
                alive+=("$pid")
            fi
        done
        if [ ${#alive[@]} -eq 0 ]; then
            break
        fi
        if ((SECONDS >= deadline)); then
            kill -KILL "${alive[@]}" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
    if [ ${#started[@]} -gt 0 ]; then
        wait "${started[@]}" 2>/dev/null || true
    fi
    rm -rf -- "$run_dir"
}
trap stop_all EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to $1 seconds for the command after it to succeed.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$run_dir"
fi
"$emulator_bin" "${emulator_args[@]}" 2>"$demo/emulator.log" &
emulator=$!
started+=("$emulator")
emulator_ready() {
    running "$emulator" || fail "the analyzer emulator stopped: $(tail -n 1 "$demo/emulator.log")"
    grep -q 'listening at' "$demo/emulator.log"
}
wait_until 10 emulator_ready || fail "the analyzer emulator did not start in 10 s"

app_args=("$@")
if ((headless)); then
    # Only clients holding this run's cookie may use the virtual display, and it takes no TCP.
    cookie=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
    (umask 077 && : >"$run_dir/server.auth" && : >"$run_dir/client.auth")
    xauth -q -f "$run_dir/server.auth" add :0 . "$cookie"
    Xvfb -displayfd 3 -nolisten tcp -auth "$run_dir/server.auth" -screen 0 1024x768x24 \
        3>"$run_dir/display" 2>"$demo/xvfb.log" &
    xvfb=$!
    started+=("$xvfb")
    display_ready() {
        running "$xvfb" || fail "the virtual X server stopped (see $demo/xvfb.log)"
        grep -qE '^[0-9]+$' "$run_dir/display"
    }
    wait_until 30 display_ready || fail "the virtual X server did not start in 30 s"
    DISPLAY=":$(cat "$run_dir/display")"
    export DISPLAY
    export XAUTHORITY="$run_dir/client.auth"
    xauth -q -f "$XAUTHORITY" add "$DISPLAY" . "$cookie"

    x11vnc -display "$DISPLAY" -auth "$XAUTHORITY" -localhost -rfbport "$port" -forever -shared \
        -nopw >"$run_dir/x11vnc.out" 2>"$demo/x11vnc.log" &
    vnc=$!
    started+=("$vnc")
    vnc_ready() {
        running "$vnc" || fail "the VNC server stopped (see $demo/x11vnc.log)"
        grep -qx "PORT=$port" "$run_dir/x11vnc.out"
    }
    wait_until 30 vnc_ready || fail "the VNC server did not start in 30 s"
    # The caller may have asked for another platform (the tests use offscreen).
    export QT_QPA_PLATFORM=xcb
    echo "No display here: Vintrace is served over VNC on this machine's loopback interface only."
    echo "  On this machine:  connect a VNC viewer to localhost:$port"
    echo "  From another one: ssh -L $port:localhost:$port $(uname -n)"
    echo "                    then connect a VNC viewer there to localhost:$port"
    echo "Stop it with Ctrl-C."
fi

(cd "$demo" && exec "$app_bin" "${app_args[@]}") &
app=$!
started+=("$app")

# The session ends with the application, or when the display it is served on goes away.
watched=("$app")
if ((headless)); then
    watched+=("$xvfb" "$vnc")
fi
status=0
ended=""
wait -n -p ended "${watched[@]}" || status=$?
if [ "$ended" != "$app" ]; then
    echo "run.sh: the virtual display or VNC server stopped; stopping Vintrace" >&2
    status=1
fi
exit "$status"
