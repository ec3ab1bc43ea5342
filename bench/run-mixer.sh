#!/usr/bin/env bash
# Runs the mixer benchmark of a release build; writes bench/results/mixer.json and prints
# the figures. Usage: bench/run-mixer.sh BUILD_DIR   (e.g. build/release)
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
cd "$(git rev-parse --show-toplevel)"
mkdir -p bench/results
"$build/bin/mixer_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out=bench/results/mixer.json --benchmark_out_format=json
