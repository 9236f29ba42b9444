#!/bin/sh
# Exports a capture to standard output and lets tshark read it from its standard input:
# every packet must arrive, as many as `dump` lists. Exit 77 (skipped) without tshark.
# Usage: export_to_tshark.sh CLI CAPTURE
set -eu
cli=$1
capture=$2
command -v tshark >/dev/null 2>&1 || exit 77
packets=$("$cli" dump "$capture" | wc -l)
# The pipeline's status is tshark's; a failed export shows as a short or empty read.
frames=$("$cli" export "$capture" - | tshark -r - -T fields -e frame.number 2>/dev/null | wc -l)
if [ "$packets" -eq 0 ] || [ "$frames" -ne "$packets" ]; then
    echo "tshark read $frames frames from the pipe; the capture has $packets packets" >&2
    exit 1
fi
