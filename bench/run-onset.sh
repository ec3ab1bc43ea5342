#!/usr/bin/env bash
# Onset benchmark: 60 s each at 120, 133 and 400 BPM with the sink at 48 kHz, and 60 s at
# 133 BPM with the sink at 44.1 kHz (whose clock runs about 230 ppm off the monotonic one), each
# with the exact and the naive placement, after the stream has run 3 s; the 44.1 kHz run again
# after 20 s, once the clock map has measured the device rate, as in the program, which keeps
# its stream running (about 11 min).
# Usage: bench/run-onset.sh BUILD_DIR [SECONDS] [LOAD]     (a shorter SECONDS for a trial run)
# With LOAD > 0, only the 48 kHz runs at 120 and 400 BPM are made, each once idle and once with
# LOAD busy-loop processes keeping the machine saturated, into bench/results/onset-load.txt.
set -euo pipefail
build=${1:?build directory}
seconds=${2:-60}
load=${3:-0}
cd "$(git rev-parse --show-toplevel)"
mkdir -p bench/results
out=bench/results/onset.txt
runs=("48000 120 3 0" "48000 133 3 0" "48000 400 3 0" "44100 133 3 0" "44100 133 20 0")
if [ "$load" -gt 0 ]; then
    out=bench/results/onset-load.txt
    runs=("48000 120 3 0" "48000 120 3 $load" "48000 400 3 0" "48000 400 3 $load")
fi
bench="$build/bin/onset_bench"
{
    echo "# onset_bench, ${seconds} s per run, $(date -u +%Y-%m-%dT%H:%MZ), $(git rev-parse --short HEAD)"
    echo "| sink Hz | BPM | stream ran s | CPU hogs | placement | beats | onsets | missing | extra | late starts | grid corrections | underruns | residual std µs | residual max µs | max vs one-period grid µs | tempo in device frames ppm | device clock vs monotonic ppm | drift vs monotonic ppm | intervals (frames×count) |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    for run in "${runs[@]}"; do
        set -- $run
        "$bench" --rate "$1" --bpm "$2" --seconds "$seconds" --preroll "$3" --load "$4" | sed "s/^| \([0-9]*\) | \([0-9]*\) |/| \1 | \2 | $3 | $4 |/"
    done
} | tee "$out"
