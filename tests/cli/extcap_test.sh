#!/usr/bin/env bash
# vintrace-extcap as Wireshark runs it, against the analyzer emulator: the interface, link
# type and option queries, a capture into a FIFO, errors without an analyzer, and a real
# tshark capture through a personal extcap folder whose packets must be those that
# `vintrace-cli dump` shows for the same recording. Exit 77 (skipped) without tshark.
# Usage: extcap_test.sh EXTCAP CLI EMULATOR TSHARK_COMPARE_PY
set -euo pipefail
extcap=$1
cli=$2
emulator=$3
compare=$4
command -v tshark >/dev/null || { echo "SKIPPED: tshark is not installed"; exit 77; }

work=$(mktemp -d)
chmod 700 "$work"
emu_pid=
pair_pids=()
stop_emulator() {
    local pid
    for pid in $emu_pid "${pair_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    emu_pid=
    pair_pids=()
}
trap 'stop_emulator; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Analyzers are looked for below XDG_RUNTIME_DIR; a private one keeps other tests apart.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
export HOME=$work/home

start_emulator() {
    "$emulator" --seed 11 --fill-seconds 0.5 --memory 40000 "$@" 2>> "$work/emu.log" &
    emu_pid=$!
    for _ in $(seq 100); do
        [ -n "$(find "$XDG_RUNTIME_DIR" -type s 2>/dev/null)" ] && return
        sleep 0.1
    done
    fail "the emulator did not come up: $(cat "$work/emu.log")"
}

# Reads the FIFO in the background as dumpcap would; the reader's file is its output.
capture_into() {
    local fifo=$1 out=$2 interface=vintrace
    shift 2
    if [ "${1:-}" = --extcap-interface ]; then
        interface=$2
        shift 2
    fi
    rm -f "$fifo"
    mkfifo "$fifo"
    timeout 60 cat "$fifo" > "$out" &
    local reader=$!
    local status=0
    timeout 60 "$extcap" --capture --extcap-interface "$interface" --fifo "$fifo" "$@" \
        2> "$work/stderr" || status=$?
    # The FIFO must be closed on every way out: the reader ends by itself.
    wait "$reader" || fail "the FIFO reader did not see the end of the capture"
    return $status
}

# No analyzer: no interface, and a capture fails on standard error with the FIFO closed.
"$extcap" --extcap-interfaces --extcap-version=4.0 > "$work/interfaces"
grep -q '^extcap {version=' "$work/interfaces" || fail "no extcap line: $(cat "$work/interfaces")"
grep -q '^interface ' "$work/interfaces" && fail "an interface without an analyzer"
if capture_into "$work/fifo" "$work/none.pcap"; then fail "a capture without an analyzer succeeded"; fi
grep -q '^vintrace-extcap: .*unconnected' "$work/stderr" || fail "stderr: $(cat "$work/stderr")"
"$extcap" --extcap-interface nosuch --extcap-dlts 2> "$work/stderr" && fail "unknown interface accepted"
grep -q 'no such interface: nosuch' "$work/stderr" || fail "stderr: $(cat "$work/stderr")"

start_emulator
"$extcap" --extcap-interfaces > "$work/interfaces"
grep -q '^interface {value=vintrace-1}{display=Vintrace USB 1.1 analyzer 1 (analyzer0)}$' "$work/interfaces" ||
    fail "the emulator is not listed: $(cat "$work/interfaces")"
"$extcap" --extcap-interface vintrace --extcap-dlts | grep -q '^dlt {number=294}' ||
    fail "link type 294 not listed"
config=$("$extcap" --extcap-interface vintrace --extcap-config)
for call in --trigger --speed --timeout; do
    grep -q "^arg {number=[0-9]}{call=$call}" <<< "$config" || fail "no option $call: $config"
done

# The link type follows the bus speed option; the capture filter is ignored.
link_type() { od -An -tu4 -j20 -N4 "$1" | tr -d ' '; }
capture_into "$work/fifo" "$work/low.pcap" --speed low --extcap-capture-filter "usb" ||
    fail "low-speed capture failed: $(cat "$work/stderr")"
[ "$(link_type "$work/low.pcap")" = 293 ] || fail "low speed wrote link type $(link_type "$work/low.pcap")"
capture_into "$work/fifo" "$work/full.pcap" --speed full --trigger 15 ||
    fail "full-speed capture failed: $(cat "$work/stderr")"
[ "$(link_type "$work/full.pcap")" = 294 ] || fail "full speed wrote link type $(link_type "$work/full.pcap")"
# No trigger in time: said on standard error. PID nibble 0 never occurs on the bus.
if capture_into "$work/fifo" "$work/late.pcap" --trigger 0 --timeout 0.5; then
    fail "a capture without its trigger succeeded"
fi
grep -q '^vintrace-extcap: timed out waiting for the trigger' "$work/stderr" ||
    fail "stderr: $(cat "$work/stderr")"
# Wireshark's Stop (SIGTERM) while waiting: the program ends soon, closes the FIFO and leaves
# the analyzer free for the next capture.
rm -f "$work/fifo"
mkfifo "$work/fifo"
timeout 60 cat "$work/fifo" > "$work/stopped.pcap" &
reader=$!
"$extcap" --capture --extcap-interface vintrace --fifo "$work/fifo" --trigger 0 \
    2> "$work/stderr" &
capturer=$!
sleep 1
kill -TERM "$capturer"
status=0
timeout 10 tail --pid="$capturer" -f /dev/null || fail "SIGTERM did not end the capture"
wait "$capturer" || status=$?
[ "$status" -ne 0 ] || fail "a stopped capture reported success"
grep -q '^vintrace-extcap: stopped while waiting for the trigger' "$work/stderr" ||
    fail "stderr: $(cat "$work/stderr")"
wait "$reader" || fail "the FIFO reader did not see the end of the stopped capture"
capture_into "$work/fifo" "$work/after.pcap" || fail "after a stop: $(cat "$work/stderr")"
# Refused commands reach standard error too.
stop_emulator
start_emulator --refuse SetTrigger
if capture_into "$work/fifo" "$work/refused.pcap"; then fail "a refused trigger succeeded"; fi
grep -q '^vintrace-extcap: Trigger Failed' "$work/stderr" || fail "stderr: $(cat "$work/stderr")"
stop_emulator

# Two analyzers in one device directory, with different buses: two interfaces, and each
# capture comes from the analyzer its interface names.
start_pair() {
    local name seed
    for name in analyzer0 analyzer1; do
        seed=$([ $name = analyzer0 ] && echo 11 || echo 23)
        "$emulator" --seed "$seed" --name "$name" --fill-seconds 0.5 --memory 40000 \
            2>> "$work/emu.log" &
        pair_pids+=($!)
    done
    for _ in $(seq 100); do
        [ "$(find "$XDG_RUNTIME_DIR" -type s 2>/dev/null | wc -l)" -eq 2 ] && return
        sleep 0.1
    done
    fail "the two emulators did not come up: $(cat "$work/emu.log")"
}
start_pair
"$extcap" --extcap-interfaces > "$work/interfaces"
[ "$(grep -c '^interface ' "$work/interfaces")" -eq 2 ] ||
    fail "two analyzers, listed: $(cat "$work/interfaces")"
grep -q '^interface {value=vintrace-1}{display=Vintrace USB 1.1 analyzer 1 (analyzer0)}$' \
    "$work/interfaces" || fail "first analyzer: $(cat "$work/interfaces")"
grep -q '^interface {value=vintrace-2}{display=Vintrace USB 1.1 analyzer 2 (analyzer1)}$' \
    "$work/interfaces" || fail "second analyzer: $(cat "$work/interfaces")"
for name in vintrace-1 vintrace-2; do
    "$extcap" --extcap-interface "$name" --extcap-dlts | grep -q '^dlt {number=294}' ||
        fail "no link type for $name"
done
for name in vintrace-0 vintrace-01 vintrace-x vintrace-1000 vintrace- vintrace-1a; do
    "$extcap" --extcap-interface "$name" --extcap-dlts > /dev/null 2> "$work/stderr" &&
        fail "interface $name accepted"
    grep -q "no such interface: $name" "$work/stderr" || fail "$name: $(cat "$work/stderr")"
done
capture_into "$work/fifo" "$work/second.pcap" --extcap-interface vintrace-2 ||
    fail "capture from vintrace-2: $(cat "$work/stderr")"
capture_into "$work/fifo" "$work/first.pcap" --extcap-interface vintrace-1 ||
    fail "capture from vintrace-1: $(cat "$work/stderr")"
cmp -s "$work/first.pcap" "$work/second.pcap" && fail "both interfaces gave the same recording"
if capture_into "$work/fifo" "$work/third.pcap" --extcap-interface vintrace-3; then
    fail "a capture from a third analyzer of two succeeded"
fi
grep -q '^vintrace-extcap: no analyzer 3: 2 found' "$work/stderr" || fail "stderr: $(cat "$work/stderr")"
# vintrace-cli numbers them alike.
"$cli" analyzer list > "$work/list"
[ "$(cut -f1 "$work/list" | tr '\n' ' ')" = "1 2 " ] || fail "analyzer list: $(cat "$work/list")"
[[ $(sed -n 2p "$work/list") == *'/analyzer1' ]] || fail "analyzer list: $(cat "$work/list")"
stop_emulator
# Each recording is its own analyzer's: a fresh pair again, each taken by vintrace-cli.
start_pair
for n in 1 2; do
    "$cli" analyzer --analyzer "$n" acquire --trigger 15 -o "$work/cli-$n.dat" > /dev/null ||
        fail "vintrace-cli analyzer --analyzer $n acquire failed"
    "$cli" export "$work/cli-$n.dat" "$work/cli-$n.pcap" --speed full > /dev/null
done
"$cli" analyzer --analyzer 3 status 2> "$work/stderr" && fail "status of a third analyzer of two"
grep -q 'no analyzer 3: 2 found' "$work/stderr" || fail "stderr: $(cat "$work/stderr")"
stop_emulator
cmp -s "$work/cli-1.pcap" "$work/first.pcap" || fail "vintrace-1 is not the first analyzer's recording"
cmp -s "$work/cli-2.pcap" "$work/second.pcap" || fail "vintrace-2 is not the second analyzer's recording"

# tshark runs it from the personal extcap folder, as a user would install it.
start_emulator
# Wireshark 4.0 reads ~/.config/wireshark/extcap (newer releases ~/.local/lib/wireshark/extcap).
personal=$HOME/.config/wireshark/extcap
mkdir -p "$personal"
cp "$extcap" "$personal/"
timeout 60 tshark -D 2>/dev/null | grep -q 'vintrace-1 (' || fail "tshark -D does not list vintrace-1"
timeout 120 tshark -i vintrace-1 -w "$work/tshark.pcapng" > "$work/tshark.log" 2>&1 ||
    fail "tshark capture failed: $(cat "$work/tshark.log")"
stop_emulator

# The same recording taken by vintrace-cli from a fresh emulator with the same seed.
start_emulator
"$cli" analyzer acquire --trigger 15 -o "$work/same.dat" > /dev/null ||
    fail "vintrace-cli analyzer acquire failed"
stop_emulator
python3 "$compare" "$cli" "$work/same.dat" "$work/compare" --pcap "$work/tshark.pcapng"
