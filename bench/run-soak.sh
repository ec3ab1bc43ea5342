#!/usr/bin/env bash
# Soak benchmark: the beat path at 400 BPM into a private sound server's null sink for MINUTES
# (default 60), then the figures as a table row appended to bench/results/soak.txt.
# Usage: bench/run-soak.sh BUILD_DIR [MINUTES] [LOAD] [SERVER]
#   LOAD: busy-loop processes beside it; SERVER: pulseaudio (default) or pipewire
set -euo pipefail
build=${1:?build directory}
minutes=${2:-60}
load=${3:-0}
server=${4:-pulseaudio}
cd "$(git rev-parse --show-toplevel)"
mkdir -p bench/results
out=bench/results/soak-servers.txt
if [ ! -s "$out" ]; then
    {
        echo "# soak_bench: the transport, periodic timer, sound service and the program's output at one tempo into a null sink"
        echo "| started | commit | server | minutes | sink Hz | BPM | CPU hogs | first click ms | beats | onsets | missing | extra | dropped ticks | late starts | grid corrections | underruns | recording overruns | residual std µs | residual max µs | max vs one-period grid µs | exact intervals | RSS start MB | RSS end MB | RSS growth MB |"
        echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
    } >"$out"
fi
stamp="$(date -u +%Y-%m-%dT%H:%MZ)"
commit="$(git rev-parse --short HEAD)"
row=$("$build/bin/soak_bench" --minutes "$minutes" --bpm 400 --load "$load" --server "$server")
echo "| $stamp | $commit $row" | tee -a "$out"
