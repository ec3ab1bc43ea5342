# A private headless desktop for the program: an Xvfb display and a PulseAudio server with one
# 48 kHz float stereo null sink, both stopped (with anything else added to `pids`) when the shell
# exits. Source it, then call `headless_start NAME [Xvfb options...]`; it sets DISPLAY,
# XDG_RUNTIME_DIR, PULSE_SERVER and SDL_AUDIODRIVER, and `work` to a scratch folder removed at
# exit. Run as `bash headless.sh COMMAND [ARGS...]`, it runs the command on such a desktop.
# HEADLESS_SCREEN (WIDTHxHEIGHTxDEPTH, 1024x768x24 unless set) sizes the display.

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
    # Xvfb takes a free display number itself and writes it once it takes clients.
    Xvfb -displayfd 3 "$@" -screen 0 "${HEADLESS_SCREEN:-1024x768x24}" -nolisten tcp 3>"$work/display" \
        >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    wait_for "X display" test -s "$work/display"
    export DISPLAY=":$(head -n 1 "$work/display")"
    unset WAYLAND_DISPLAY

    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
    export SDL_AUDIODRIVER=pulseaudio
    pulseaudio --system=false -n --daemonize=no --exit-idle-time=-1 \
        --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=out rate=48000 format=float32le channels=2" \
        >"$work/pulse.log" 2>&1 &
    pids+=($!)
    wait_for "sound server" pactl info
    pactl set-default-sink out
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    headless_start "$(basename "${1:?usage: headless.sh COMMAND [ARGS...]}")"
    status=0
    "$@" || status=$?
    exit "$status"
fi
