#!/usr/bin/env bash
# Runs clang-tidy over the project's sources with the dev build's compile commands.
# Slow on two cores, so it is run by hand rather than on every build.
set -euo pipefail
cd "$(git rev-parse --show-toplevel)"
build=${1:-build/dev}
[ -f "$build/compile_commands.json" ] || cmake --preset dev >/dev/null
git ls-files 'src/*.cpp' | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet
