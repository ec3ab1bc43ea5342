#!/usr/bin/env bash
# Window and program benchmarks on a private headless desktop (Xvfb with a black root and a
# PulseAudio null sink): launch to window shown, resident memory, CPU while stopped and while
# running at 400 BPM, each beside an empty Qt window built in the same run, and the
# lamp-to-click offset. Writes bench/results/window.txt.
# Usage: bench/run-window.sh BUILD_DIR   (a release build with the benchmarks)
set -euo pipefail
build=$(cd "${1:?usage: bench/run-window.sh BUILD_DIR}" && pwd)
bin="$build/bin"
seconds=${WINDOW_BENCH_SECONDS:-30}
results=bench/results/window.txt
mkdir -p bench/results

# shellcheck source=../tools/headless.sh
source "$(dirname "$0")/../tools/headless.sh"
headless_start run-window -br

rss_mb() { awk '/VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# CPU share of one core over the benchmark window, in per cent.
cpu_percent() {
    local before after hz
    hz=$(getconf CLK_TCK)
    before=$(cpu_ticks "$1")
    sleep "$seconds"
    after=$(cpu_ticks "$1")
    awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * t / hz / s }'
}

# CPU ticks of each thread, by thread name (threads of one name summed), sorted for join.
thread_ticks() {
    local task
    for task in /proc/"$1"/task/*; do
        echo "$(tr ' ' '_' <"$task/comm") $(awk '{ print $14 + $15 }' "$task/stat")"
    done | awk '{ t[$1] += $2 } END { for (n in t) print n, t[n] }' | sort
}

{
    echo "# Window and program, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, DISPLAY Xvfb, PulseAudio null sink"
    echo "## launch to window shown (launch_bench: fork to first drawn pixel, 15 runs each)"
    "$bin/launch_bench" 15 "Empty Qt window" "$bin/empty_window"
    "$bin/launch_bench" 15 "Qo Metronome (v" "$bin/metronome"

    echo "## resident memory and CPU (/proc/PID/status VmRSS, /proc/PID/stat utime+stime over ${seconds} s)"
    "$bin/empty_window" &
    empty=$!
    pids+=("$empty")
    xdotool search --sync --onlyvisible --name "Empty Qt window" >/dev/null
    sleep 1
    echo "empty Qt window: VmRSS $(rss_mb "$empty") MB, CPU idle $(cpu_percent "$empty") % of a core"
    kill "$empty"
    wait "$empty" 2>/dev/null || true

    "$bin/metronome" &
    app=$!
    pids+=("$app")
    window=$(xdotool search --sync --onlyvisible --name "Qo Metronome \\(v" | head -1)
    xdotool windowfocus --sync "$window"
    sleep 1
    echo "metronome stopped: VmRSS $(rss_mb "$app") MB, CPU $(cpu_percent "$app") % of a core"
    xdotool key Tab 4 0 0 space # Tab from the sound option selects the whole tempo box
    sleep 2
    thread_ticks "$app" >"$work/threads.before"
    running_cpu=$(cpu_percent "$app")
    thread_ticks "$app" >"$work/threads.after"
    echo "metronome running at 400 BPM: VmRSS $(rss_mb "$app") MB, CPU ${running_cpu} % of a core"
    echo "  by thread (% of a core over the same ${seconds} s):"
    join "$work/threads.before" "$work/threads.after" |
        awk -v hz="$(getconf CLK_TCK)" -v s="$seconds" \
            '{ printf "    %-16s %.2f\n", $1, 100 * ($3 - $2) / hz / s }'
    xdotool key Escape
    kill "$app"
    wait "$app" 2>/dev/null || true

    echo "## lamp-to-click offset (lamp_offset_bench, real window, timer and sound)"
    "$bin/lamp_offset_bench" 400 "$seconds"
    "$bin/lamp_offset_bench" 120 "$seconds"
} 2>&1 | grep --line-buffered -v "QStandardPaths" | tee "$results"
