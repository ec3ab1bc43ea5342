#!/usr/bin/env bash
# Runs every benchmark of a release build; each writes its figures to bench/results/.
# Usage: tools/run-benchmarks.sh BUILD_DIR [NAME...]   (NAME: timer, mixer, onset, window)
set -euo pipefail
build=${1:?build directory}
shift
cd "$(git rev-parse --show-toplevel)"
mkdir -p bench/results
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(timer mixer onset window)
for name in "${names[@]}"; do
    script="bench/run-${name}.sh"
    if [ -x "$script" ]; then
        echo "== benchmark: ${name}"
        "$script" "$build"
    fi
done
