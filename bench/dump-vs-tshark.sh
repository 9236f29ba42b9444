#!/usr/bin/env bash
# Side by side: `vintrace-cli dump` over a generated capture against `tshark -T fields` over
# the same packets exported as pcap. tshark is far slower, so by default it reads only the
# first SLICE bytes of the capture (exported separately) and its time is scaled up by the
# packet count; pass SLICE=0 to run it on everything.
#
#   bench/dump-vs-tshark.sh BUILD_DIR [SIZE (default 1G)] [SLICE bytes (default 100000000)]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [SIZE] [SLICE]}
size=${2:-1G}
slice=${3:-100000000}
cli="$build/tools/cli/vintrace-cli"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bench/vintrace-load-bench" --size "$size" --keep --dir "$work" >/dev/null
mv "$work"/vintrace-load-bench-*.dat "$work/capture.dat"
if [ "$slice" -gt 0 ]; then
    head -c "$slice" "$work/capture.dat" >"$work/slice.dat"
else
    cp "$work/capture.dat" "$work/slice.dat"
fi
"$cli" export "$work/slice.dat" "$work/slice.pcap"

seconds() { /usr/bin/time -f %e "$@" 2>&1 >/dev/null | tail -1; }
cat "$work/capture.dat" "$work/slice.pcap" >/dev/null # into the page cache
packets=$("$cli" dump "$work/capture.dat" | wc -l)
slicePackets=$("$cli" dump "$work/slice.dat" | wc -l)
ours=$(seconds "$cli" dump "$work/capture.dat")
oursSlice=$(seconds "$cli" dump "$work/slice.dat")
theirs=$(seconds tshark -r "$work/slice.pcap" -T fields -e usbll.pid -e usbll.device_addr \
    -e usbll.endp -e usbll.frame_num -e usbll.crc5.status -e usbll.crc16.status)
echo "capture: $size, $packets packets; tshark slice: $slicePackets packets"
echo "vintrace-cli dump, whole capture: ${ours} s"
echo "vintrace-cli dump, slice:         ${oursSlice} s"
echo "tshark -T fields, slice:          ${theirs} s"
awk -v t="$theirs" -v n="$packets" -v s="$slicePackets" -v o="$ours" 'BEGIN {
    scaled = t * n / s
    printf "tshark scaled to the whole capture: %.1f s, %.0fx the time of vintrace-cli\n", scaled, scaled / o
}'
