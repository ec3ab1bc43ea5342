#!/usr/bin/env bash
# Window and program benchmarks on a private headless desktop (Xvfb with a black root and a
# PulseAudio null sink): launch to window shown, resident memory, CPU while stopped and while
# running at 400 BPM by thread, beside an empty Qt window built in the same run and beside gtick
# (Debian's package, when installed), and the lamp-to-click offset. Writes bench/results/window.txt.
# With WINDOW_BENCH_BASELINE set to another build's metronome (its voices beside it), the two
# then run at 400 BPM in turns, six times each, so that the comparison holds while the machine's
# speed drifts.
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
# CPU time (ns, from the scheduler's own count: finer than the clock ticks of /proc/PID/stat) and
# times run (about one a wake-up) of each thread, by thread name (threads of one name summed),
# sorted for join.
thread_ns() {
    local task
    for task in /proc/"$1"/task/*; do
        echo "$(tr ' ' '_' <"$task/comm") $(awk '{ print $1, $3 }' "$task/schedstat")"
    done | awk '{ t[$1] += $2; r[$1] += $3 } END { for (n in t) print n, t[n], r[n] }' | sort
}
# CPU share of one core over the benchmark window, in per cent, whole and by thread, with each
# thread's wake-ups a second.
cpu_report() {
    local label=$1 pid=$2
    thread_ns "$pid" >"$work/threads.before"
    sleep "$seconds"
    thread_ns "$pid" >"$work/threads.after"
    join "$work/threads.before" "$work/threads.after" |
        awk -v s="$seconds" -v label="$label" '
            { share[$1] = 100 * ($4 - $2) / 1e9 / s; wakes[$1] = ($5 - $3) / s; total += share[$1] }
            END { printf "%s: CPU %.3f %% of a core (", label, total
                  for (n in share) printf " %s %.3f (%.1f/s)", n, share[n], wakes[n]; print " )" }'
}

# Starts a metronome program and waits for its window to take keys; sets `app`.
launch_metronome() {
    "$1" &
    app=$!
    pids+=("$app")
    xdotool windowfocus --sync "$(xdotool search --sync --onlyvisible --pid "$app" \
        --name "Qo Metronome \\(v" | head -1)"
    sleep 1
}
start_at_400() {
    xdotool key Tab 4 0 0 space # Tab from the sound option selects the whole tempo box
    sleep 2
}
quit() {
    kill "$1"
    wait "$1" 2>/dev/null || true
}

{
    echo "# Window and program, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, DISPLAY Xvfb, PulseAudio null sink"
    echo "## launch to window shown (launch_bench: fork to first drawn pixel, 15 runs each)"
    "$bin/launch_bench" 15 "Empty Qt window" "$bin/empty_window"
    "$bin/launch_bench" 15 "Qo Metronome (v" "$bin/metronome"

    echo "## resident memory and CPU (/proc/PID/status VmRSS; CPU from /proc/PID/task/*/schedstat over ${seconds} s)"
    "$bin/empty_window" &
    empty=$!
    pids+=("$empty")
    xdotool search --sync --onlyvisible --name "Empty Qt window" >/dev/null
    sleep 1
    echo "empty Qt window: VmRSS $(rss_mb "$empty") MB"
    cpu_report "empty Qt window" "$empty"
    quit "$empty"

    launch_metronome "$bin/metronome"
    echo "metronome: VmRSS $(rss_mb "$app") MB"
    cpu_report "metronome stopped after launch" "$app"
    start_at_400
    echo "metronome running at 400 BPM: VmRSS $(rss_mb "$app") MB"
    cpu_report "metronome running at 400 BPM" "$app"
    xdotool key Escape
    sleep 2
    cpu_report "metronome stopped after a run" "$app"
    quit "$app"

    if [ -n "${WINDOW_BENCH_BASELINE:-}" ]; then
        echo "## at 400 BPM in turns: A $bin/metronome, B $WINDOW_BENCH_BASELINE"
        for round in 1 2 3 4 5 6; do
            for side in A B; do
                program=$bin/metronome
                [ "$side" = A ] || program=$WINDOW_BENCH_BASELINE
                launch_metronome "$program"
                start_at_400
                cpu_report "$side $round" "$app"
                quit "$app"
            done
        done
    fi

    # gtick, a metronome of the same desktop that counts samples, in the same run: its speed
    # range raised to 400 in its preferences, then 400 BPM, by its window's controls.
    if command -v gtick >/dev/null; then
        HOME="$work" gtick >/dev/null 2>&1 &
        peer=$!
        pids+=("$peer")
        xdotool search --sync --onlyvisible --name "GTick" >/dev/null
        sleep 1
        cpu_report "gtick stopped" "$peer"
        xdotool mousemove 118 13 click 1 sleep 0.5 mousemove 160 38 click 1 sleep 1 \
            mousemove 240 435 click --repeat 3 1 type 400
        xdotool key Tab sleep 0.3 mousemove 340 494 click 1 sleep 0.5 \
            mousemove 368 109 click --repeat 3 1 type 400
        xdotool key Tab sleep 0.3 mousemove 212 254 click 1
        sleep 2
        cpu_report "gtick running at 400 BPM" "$peer"
        quit "$peer"
    fi

    echo "## lamp-to-click offset (lamp_offset_bench, real window, timer and sound)"
    "$bin/lamp_offset_bench" 400 "$seconds"
    "$bin/lamp_offset_bench" 120 "$seconds"
} 2>&1 | grep --line-buffered -v "QStandardPaths" | tee "$results"
