#!/usr/bin/env bash
# scripts/run.sh as a user without a display runs it: the window must be reachable over VNC on
# the loopback interface only, the X server must take no TCP, the device directory must be
# private, and stopping the script must stop everything it started.
#
# Usage: run_headless_test.sh SOURCE_DIR BUILD_DIR   (exit 77: the tools are not installed)
set -euo pipefail
src=$(realpath -e -- "$1")
build=$(realpath -e -- "$2")
run_sh="$src/scripts/run.sh"
class_dir='vintrace-{77F49320-16EF-11D2-AD51-006097B514DD}'

for tool in Xvfb x11vnc xauth xwininfo ss setsid; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
        exit 77
    fi
done

failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}

# Short: the device socket path below it must fit in a sockaddr_un.
work=$(mktemp -d /tmp/vrt.XXXXXX)
session=""
cleanup() {
    if [ -n "$session" ]; then
        kill -KILL -- "-$session" 2>/dev/null || true
    fi
    rm -rf -- "$work"
}
trap cleanup EXIT

# Pids of the live processes of a session, from /proc (ps may be missing).
session_pids() {
    local p stat rest
    for p in /proc/[0-9]*; do
        stat=$(cat "$p/stat" 2>/dev/null) || continue
        rest=${stat##*) }
        read -r state _ _ sid _ <<<"$rest"
        if [ "$sid" = "$1" ] && [ "$state" != Z ]; then
            echo "${p#/proc/}"
        fi
    done
}

ended() { ! kill -0 "$1" 2>/dev/null; }

wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}

# --- The device directory a caller hands in through XDG_RUNTIME_DIR -------------------------
mkdir -m 700 "$work/private" "$work/target"
mkdir -m 755 "$work/open"
mkdir -m 710 "$work/group"
ln -s "$work/target" "$work/link"
cases=(
    "open|$work/open|refusing $work/open: other users have access \(mode 755\)"
    "group-searchable|$work/group|refusing $work/group: other users have access \(mode 710\)"
    "symlink|$work/link|refusing $work/link: it is a symbolic link, not a directory"
    "missing|$work/none|$work/none: no such directory"
    "regular file|$run_sh|it is a regular file, not a directory"
    # Accepted: the script goes on and stops at the missing build instead.
    "private|$work/private|no build directory"
)
if [ "$(id -u)" = 0 ]; then
    mkdir -m 700 "$work/foreign"
    chown 65534 "$work/foreign"
    cases+=("foreign owner|$work/foreign|refusing $work/foreign: it belongs to user 65534")
else
    echo "note: not root, so the foreign-owner case is left out"
fi
for c in "${cases[@]}"; do
    IFS='|' read -r name dir expected <<<"$c"
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$dir" VINTRACE_RUN_NO_BUILD=1 \
        VINTRACE_BUILD_DIR="$work/no-build" VINTRACE_DEMO_DIR="$work/demo-refused" \
        setsid bash "$run_sh" >"$work/refused.out" 2>&1 </dev/null &
    refused_pid=$!
    wait_until 30 ended "$refused_pid" || true
    kill -KILL -- "-$refused_pid" 2>/dev/null || true
    rc=0
    wait "$refused_pid" || rc=$?
    check "XDG_RUNTIME_DIR $name: exits 1 saying why" \
        test "$rc" = 1 -a -n "$(grep -E "^run.sh: .*$expected" "$work/refused.out")"
done
check "nothing was started for a refused directory" test ! -e "$work/demo-refused"
for c in "mouse printer|'printer' is none of" "mouse serial disk keyboard vendor|at most four"; do
    IFS='|' read -r devices expected <<<"$c"
    rc=0
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$work/private" VINTRACE_RUN_NO_BUILD=1 \
        VINTRACE_BUILD_DIR="$work/no-build" VINTRACE_DEMO_DIR="$work/demo-refused" \
        VINTRACE_DEVICES="$devices" timeout 30 bash "$run_sh" >"$work/refused.out" 2>&1 \
        </dev/null || rc=$?
    check "VINTRACE_DEVICES=\"$devices\": exits 1 saying why" \
        test "$rc" = 1 -a -n "$(grep -E "^run.sh: VINTRACE_DEVICES: .*$expected" "$work/refused.out")"
done

# --- The headless run ------------------------------------------------------------------------
# A free port away from 5900, so a developer's own VNC session is not disturbed.
port=$((20000 + $$ % 12000))
while [ -n "$(ss -ltnH "sport = :$port")" ]; do
    port=$((port + 1))
done

# The offscreen platform the test runner may pass on must not hide the window from VNC. A
# relative XDG_RUNTIME_DIR is no runtime directory: the run makes its own.
env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY XDG_RUNTIME_DIR=relative QT_QPA_PLATFORM=offscreen \
    TMPDIR="$work" VINTRACE_RUN_NO_BUILD=1 VINTRACE_BUILD_DIR="$build" \
    VINTRACE_DEMO_DIR="$work/demo" VINTRACE_VNC_PORT="$port" \
    setsid bash "$run_sh" >"$work/run.out" 2>&1 </dev/null &
run_pid=$!
session=$run_pid

served_or_ended() {
    grep -qs "connect a VNC viewer to localhost:$port" "$work/run.out" || ended "$run_pid"
}
if ! wait_until 60 served_or_ended || ! kill -0 "$run_pid" 2>/dev/null; then
    echo "FAIL run.sh did not serve the window within 60 s; its output:"
    cat "$work/run.out" "$work/demo/"*.log 2>/dev/null || true
    exit 1
fi
check "run.sh leads its own session, so all it starts can be found" \
    test -n "$(session_pids "$session" | grep -x "$run_pid")"
check "run.sh tells how to reach it from another machine" \
    grep -q "ssh -L $port:localhost:$port " "$work/run.out"

pids=$(session_pids "$session" | paste -sd'|')
listeners=$(ss -ltnpH | grep -E "pid=($pids)," || true)
echo "listening sockets of the run:"
echo "$listeners"
check "the VNC port listens" grep -qE "(127\.0\.0\.1|\[::1\]):$port " <<<"$listeners"
check "every listener is the VNC port on a loopback address" \
    test -z "$(awk -v p="$port" '$4 != "127.0.0.1:" p && $4 != "[::1]:" p' <<<"$listeners")"

speaks_rfb() {
    local banner=""
    exec 5<>"/dev/tcp/127.0.0.1/$port" || return 1
    read -r -t 10 banner <&5 || true
    exec 5>&-
    [[ $banner == "RFB 003."* ]]
}
check "a VNC server answers on 127.0.0.1:$port" speaks_rfb

runs=("$work"/vintrace-run.*)
check "one fresh run directory" test ${#runs[@]} = 1 -a -d "${runs[0]}"
run_dir=${runs[0]}
check "the run directory is ours and private" \
    test "$(stat -c '%F %u %a' "$run_dir")" = "directory $(id -u) 700"
check "the emulator serves in the run directory" \
    wait_until 30 test -S "$run_dir/$class_dir/analyzer0"
emulator_devices() {
    local p
    for p in $(session_pids "$session"); do
        if tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -q 'vintrace-analyzer-emu'; then
            tr '\0' ' ' <"/proc/$p/cmdline" | grep -o -- '--device [a-z]*' | paste -sd' '
        fi
    done
}
check "the emulated bus carries a mouse, a serial port and a disk" \
    test "$(emulator_devices)" = "--device mouse --device serial --device disk"

display=":$(cat "$run_dir/display")"
has_window() {
    XAUTHORITY="$run_dir/client.auth" xwininfo -display "$display" -root -tree 2>/dev/null |
        grep -q '"Vintrace": ("vintrace"'
}
check "the Vintrace window is on the served display" wait_until 30 has_window
refuses_strangers() { ! XAUTHORITY=/dev/null xwininfo -display "$display" -root >/dev/null 2>&1; }
check "the display refuses clients without the cookie" refuses_strangers

# --- Stopping it stops everything -------------------------------------------------------------
kill -TERM "$run_pid"
check "run.sh ends within 15 s of SIGTERM" wait_until 15 ended "$run_pid"
rc=0
wait "$run_pid" || rc=$?
check "run.sh reports the signal (exit 143)" test "$rc" = 143
left=$(session_pids "$session")
check "no process of the run is left" test -z "$left"
check "nothing listens on the VNC port" test -z "$(ss -ltnH "sport = :$port")"
check "the run directory is removed" test ! -e "$run_dir"
check "the display's socket is gone" test ! -e "/tmp/.X11-unix/X${display#:}"

if ((failures > 0)); then
    echo "run.sh output:"
    cat "$work/run.out"
    exit 1
fi
