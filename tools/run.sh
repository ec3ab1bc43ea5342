#!/usr/bin/env bash
# Starts the metronome (`make run`). On a desktop with a sound server it opens the window.
# Anywhere else (no display, or no sound server) it plays the same program headless: an Xvfb
# display and a freshly started private PulseAudio null sink, Start pressed, two bars played, the
# sound moved to a second null sink (as when headphones are plugged in) for a bar more, a
# screenshot of the window and recordings of both sinks left in BUILD_DIR/run/, and the clicks
# checked: on each sink every one exactly a period (24000 frames) after the last, but for one
# longer interval on the second, across the move.
# Usage: tools/run.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: tools/run.sh BUILD_DIR}" && pwd)
program="$build/bin/metronome"
if [ ! -x "$program" ]; then
    echo "run: $program is not built" >&2
    exit 1
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && pactl info >/dev/null 2>&1; then
    exec "$program"
fi
echo "run: no desktop with a sound server here, so the metronome plays headless"

out="$build/run"
mkdir -p "$out"
# shellcheck source=headless.sh
source "$(dirname "$0")/headless.sh"

# Asks the window to close, as its close box does (the headless display has no window manager).
close_window() {
    /usr/bin/python3 - "$1" <<'PY'
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
class Message(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]
display = x.XOpenDisplay(None)
window = int(sys.argv[1])
message = Message(type=33, display=display, window=window, format=32)  # 33: ClientMessage
message.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
message.data[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                         ctypes.c_void_p]
x.XSendEvent(display, window, 0, 0, ctypes.byref(message))
x.XFlush.argtypes = [ctypes.c_void_p]
x.XFlush(display)
PY
}

# Prints the onsets of a float WAV recording (a sample off silence after at least 50 ms of it)
# and fails unless there are three or more, each exactly 24000 frames after the last, but for
# at most ALLOWED_LONGER longer intervals.
check_clicks() {
    /usr/bin/python3 - "$1" "${2:-0}" <<'PY'
import array, sys
data = open(sys.argv[1], "rb").read()
body = data[data.index(b"data") + 8:]
samples = array.array("f", body[: len(body) // 8 * 8])
onsets, last = [], -2400
for frame in range(len(samples) // 2):
    if samples[2 * frame] != 0.0:
        if frame - last >= 2400:
            onsets.append(frame)
        last = frame
intervals = [b - a for a, b in zip(onsets, onsets[1:])]
print(f"run: {sys.argv[1]}: {len(onsets)} clicks, intervals in frames: {intervals}")
off = [i for i in intervals if i != 24000]
good = len(onsets) >= 3 and len(off) <= int(sys.argv[2]) and all(i > 24000 for i in off)
sys.exit(0 if good else 1)
PY
}

headless_start run
pactl load-module module-null-sink sink_name=other rate=48000 format=float32le channels=2 >/dev/null

recorders=()
for sink in out other; do
    parec -d "$sink.monitor" --file-format=wav --format=float32le --rate=48000 --channels=2 \
        "$out/clicks-$sink.wav" &
    recorders+=($!)
    pids+=($!)
done
"$program" &
app=$!
pids+=("$app")
window=$(timeout 15 xdotool search --sync --onlyvisible --name "Qo Metronome" | head -1)
xdotool windowfocus --sync "$window"
sleep 0.5 # the voices load 150 ms after the window appears
xdotool key space
sleep 4.7 # two bars of 4/4 at 120 BPM; the first beat comes one period after Start
pactl move-sink-input "$(pactl list short sink-inputs | cut -f1 | head -n 1)" other
sleep 2.5
import -window "$window" "$out/screenshot.png"
xdotool key Escape
sleep 0.3
for recorder in "${recorders[@]}"; do
    kill -INT "$recorder"
    wait "$recorder" 2>/dev/null || true
done
close_window "$window"
status=0
wait "$app" || status=$?
echo "run: the metronome played three bars, the last on a second sink, and closed with status $status"
check_clicks "$out/clicks-out.wav" || status=1
check_clicks "$out/clicks-other.wav" 1 || status=1
echo "run: screenshot: $out/screenshot.png"
echo "run: recordings: $out/clicks-out.wav, then $out/clicks-other.wav"
exit "$status"
