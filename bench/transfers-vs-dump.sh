#!/usr/bin/env bash
# `vintrace-cli transfers` (text and --json) and `devices` against `dump` of the same capture:
# wall time and peak memory of each, and the ratios to dump. Two captures of SIZE bytes: the
# generated traffic, and devices in a reset loop (an emulator recording repeated, so that they
# enumerate again and again).
#
# The commands take turns, RUNS rounds of dump, transfers, transfers --json and devices, so
# that a machine whose speed drifts slows each of them alike. Each command's ratio to dump is
# taken within a round and reported as the median of the rounds with its range: on a shared
# machine a wide range says the figures are noise, and a fastest-of-N on its own can mislead.
# Output goes to a pipe, as a reader of the command's output would take it.
#
#   bench/transfers-vs-dump.sh BUILD_DIR [SIZE (default 360M)] [RUNS (default 5)]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [SIZE] [RUNS]}
size=${2:-360M}
runs=${3:-5}
cli="$build/tools/cli/vintrace-cli"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bench/vintrace-load-bench" --size "$size" --keep --dir "$work" --runs 1 --threads 1 \
    >/dev/null
mv "$work"/vintrace-load-bench-*.dat "$work/traffic.dat"
"$build/bench/vintrace-load-bench" --size "$size" --reset-loop --keep --dir "$work" --runs 1 \
    --threads 1 >/dev/null
mv "$work"/vintrace-load-bench-*.dat "$work/reset-loop.dat"

# Runs the command once with its output piped away; prints "SECONDS KILOBYTES".
timed() {
    local t m status
    read -r t m status < <({ /usr/bin/time -f "%e %M %x" "$@" | cat >/dev/null; } 2>&1 | tail -1)
    if [ "$status" != 0 ]; then
        echo "transfers-vs-dump.sh: $* failed ($status)" >&2
        exit 1
    fi
    echo "$t $m"
}

# Median, least and greatest of the numbers on standard input: "MEDIAN MIN MAX".
spread() {
    sort -g | awk '{v[NR] = $1} END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.2f %.2f %.2f\n", m, v[1], v[NR]
    }'
}

# Command B's time over command A's in each round (A and B numbered as in `commands`), as
# spread gives it.
roundRatio() {
    awk -v a="$1" -v b="$2" '
        $2 == a {mine[$1] = $3}
        $2 == b {theirs[$1] = $3}
        END {for (r in theirs) print theirs[r] / mine[r]}' "$work/rounds" | spread
}

commands=("dump" "transfers" "transfers --json" "devices")
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $runs rounds"
for capture in traffic reset-loop; do
    file="$work/$capture.dat"
    echo "$capture: $(stat -c %s "$file") bytes"
    : >"$work/rounds"
    for round in $(seq "$runs"); do
        for i in "${!commands[@]}"; do
            # shellcheck disable=SC2086
            echo "$round $i $(timed "$cli" ${commands[$i]} "$file")" >>"$work/rounds"
        done
    done
    printf '  %-18s %7s %7s %9s   %s\n' command median fastest "peak KB" \
        "ratio to dump in a round: median (least-greatest); peak memory ratio"
    for i in "${!commands[@]}"; do
        read -r median fastest _ < <(awk -v i="$i" '$2 == i {print $3}' "$work/rounds" | spread)
        memory=$(awk -v i="$i" '$2 == i && $4 > m {m = $4} END {print m}' "$work/rounds")
        if [ "$i" = 0 ]; then
            dumpMemory=$memory
            printf '  %-18s %6.2fs %6.2fs %9d\n' "${commands[$i]}" "$median" "$fastest" "$memory"
            continue
        fi
        read -r ratio least greatest < <(roundRatio 0 "$i")
        printf '  %-18s %6.2fs %6.2fs %9d   %5.2fx (%.2f-%.2f)   %5.2fx\n' "${commands[$i]}" \
            "$median" "$fastest" "$memory" "$ratio" "$least" "$greatest" \
            "$(awk "BEGIN{print $memory / $dumpMemory}")"
    done
    read -r ratio least greatest < <(roundRatio 1 2)
    printf '  --json against the text form in a round: %.2fx (%.2f-%.2f)\n' "$ratio" "$least" \
        "$greatest"
done
