#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says.
set -euo pipefail
cd "$(git rev-parse --show-toplevel)"
if ! command -v clang-format >/dev/null 2>&1; then
    echo "check-format: clang-format not found, format check skipped"
    exit 0
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ ${#files[@]} -eq 0 ]; then
    exit 0
fi
clang-format --dry-run -Werror "${files[@]}"
echo "check-format: ${#files[@]} files formatted"
