#!/usr/bin/env bash
# `vintrace-cli transfers` (text and --json) and `devices` against `dump` of the same capture:
# wall time and peak memory of each, and the ratios to dump. Two captures of SIZE bytes: the
# generated traffic, and devices in a reset loop (an emulator recording repeated, so that they
# enumerate again and again). Each command runs RUNS times; the fastest run counts.
#
#   bench/transfers-vs-dump.sh BUILD_DIR [SIZE (default 360M)] [RUNS (default 3)]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [SIZE] [RUNS]}
size=${2:-360M}
runs=${3:-3}
cli="$build/tools/cli/vintrace-cli"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bench/vintrace-load-bench" --size "$size" --keep --dir "$work" --runs 1 --threads 1 \
    >/dev/null
mv "$work"/vintrace-load-bench-*.dat "$work/traffic.dat"
"$build/bench/vintrace-load-bench" --size "$size" --reset-loop --keep --dir "$work" --runs 1 \
    --threads 1 >/dev/null
mv "$work"/vintrace-load-bench-*.dat "$work/reset-loop.dat"

# Prints "SECONDS KILOBYTES" of the fastest of $runs runs of the command.
best() {
    local bestTime="" bestMemory=""
    for _ in $(seq "$runs"); do
        read -r t m status < <(/usr/bin/time -f "%e %M %x" "$@" 2>&1 >/dev/null | tail -1)
        if [ "$status" != 0 ]; then
            echo "transfers-vs-dump.sh: $* failed ($status)" >&2
            exit 1
        fi
        if [ -z "$bestTime" ] || awk "BEGIN{exit !($t < $bestTime)}"; then
            bestTime=$t
            bestMemory=$m
        fi
    done
    echo "$bestTime $bestMemory"
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for capture in traffic reset-loop; do
    file="$work/$capture.dat"
    echo "$capture: $(stat -c %s "$file") bytes"
    best "$cli" dump "$file" >"$work/best"
    read -r dumpTime dumpMemory <"$work/best"
    printf '  %-18s %7.2f s %8d KB\n' dump "$dumpTime" "$dumpMemory"
    for command in "transfers" "transfers --json" "devices"; do
        # shellcheck disable=SC2086
        best "$cli" $command "$file" >"$work/best"
        read -r t m <"$work/best"
        printf '  %-18s %7.2f s %8d KB   %5.2fx dump time, %5.2fx dump memory\n' "$command" \
            "$t" "$m" "$(awk "BEGIN{print $t / $dumpTime}")" \
            "$(awk "BEGIN{print $m / $dumpMemory}")"
    done
done
