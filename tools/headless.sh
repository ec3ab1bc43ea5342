# A private headless desktop for the program: an Xvfb display and a PulseAudio server with one
# 48 kHz null sink, both stopped (with anything else added to `pids`) when the shell exits.
# Source it, then call `headless_start NAME [Xvfb options...]`; it sets DISPLAY, XDG_RUNTIME_DIR,
# PULSE_SERVER and SDL_AUDIODRIVER, and `work` to a scratch folder removed at exit.

pids=()
work=$(mktemp -d /tmp/metronome-headless.XXXXXX)

headless_stop_all() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap headless_stop_all EXIT

# wait_for WHAT COMMAND...: retries the command for up to 10 s.
wait_for() {
    local what=$1
    shift
    for _ in $(seq 100); do
        if "$@" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "$headless_name: the $what did not come up" >&2
    exit 1
}

headless_start() {
    headless_name=$1
    shift
    local n display=""
    for n in $(seq 99 199); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            display=":$n"
            break
        fi
    done
    if [ -z "$display" ]; then
        echo "$headless_name: no free X display number from :99 to :199" >&2
        exit 1
    fi
    export DISPLAY="$display"
    unset WAYLAND_DISPLAY
    Xvfb "$DISPLAY" "$@" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    wait_for "X display $DISPLAY" xdpyinfo

    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
    export SDL_AUDIODRIVER=pulseaudio
    pulseaudio --system=false -n --daemonize=no --exit-idle-time=-1 \
        --load=module-native-protocol-unix --load="module-null-sink sink_name=out format=float32le channels=2 rate=48000" \
        >"$work/pulse.log" 2>&1 &
    pids+=($!)
    wait_for "sound server" pactl info
    pactl set-default-sink out
}
