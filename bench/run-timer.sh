#!/usr/bin/env bash
# 60 s at a 150 ms period (400 BPM), the periodic timer against a naive sleep loop.
set -euo pipefail
build=${1:?build directory}
"$build/bin/timer_bench" "${TIMER_BENCH_SECONDS:-60}" 150 bench/results/timer.txt
