// The real program as a native Wayland client: a private Weston (whose scene graph tells where
// and how large the window is), a private PulseAudio null sink, keys and clicks through Weston's
// seat, and screenshots of what Weston drew, at output scales 1 and 2.
#include "ChildProcess.h"
#include "Onsets.h"
#include "PulseServer.h"
#include "XvfbDisplay.h"

#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using namespace metro::testsupport;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// A Wayland compositor of its own: Weston, 1280 × 800 logical pixels at an integer scale, in a
// runtime folder of its own. It is the only window of a private Xvfb display of its size, since
// only that backend gives it a seat (the headless one has no keyboard): keys and clicks that
// xdotool sends to the display reach the Wayland client Weston focused, and the display's root
// window shows what Weston draws. --debug lets weston-debug read its scene graph.
struct Weston {
    explicit Weston(int scale)
        : xvfb(dir.path, std::to_string(1280 * scale) + "x" + std::to_string(800 * scale) + "x24"),
          weston({"weston", "--backend=x11-backend.so", "--socket=wayland-test", "--width=1280",
                  "--height=800", "--use-pixman", "--debug", "--scale=" + std::to_string(scale)},
                 env(), dir.path / "weston.log") {
        PollUntil<ServerUnavailable>(
            [&] {
                return run({"weston-debug", "scene-graph"}).starts_with("Weston scene");
            },
            [&] { return weston.waitFor({}) != -1; }, "weston did not start (see weston.log)");
    }
    std::vector<std::string> env() const {
        return {"XDG_RUNTIME_DIR=" + dir.path.string(), "WAYLAND_DISPLAY=wayland-test",
                "DISPLAY=" + xvfb.name()};
    }
    // Runs a tool (weston-debug, xdotool, import) on the compositor and its display, behind the
    // program under test on a busy machine; returns what it printed.
    std::string run(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), "nice");
        RunProgram(argv, env(), dir.path / "tool.out");
        return ReadTail(dir.path / "tool.out", std::size_t{1} << 20);
    }

    struct Folder {
        ~Folder() { fs::remove_all(path); }
        fs::path path = MakeRuntimeDir("metro-weston");
    } dir;
    XvfbDisplay xvfb;
    ChildProcess weston;
};

// The window's contents (Qt's decoration left out) in logical pixels, from Weston's scene graph,
// once a window of ours with our application id has mapped (within 15 s); empty if none did.
QRect findContents(const Weston& weston) {
    for (int i = 0; i < 150; ++i) {
        const std::string scene = weston.run({"weston-debug", "scene-graph"});
        const std::size_t at = scene.find("'Qo Metronome (v 1.00a)' of org.example.qo_metronome");
        int left = 0, top = 0, right = 0, bottom = 0;
        if (at != std::string::npos &&
            std::sscanf(scene.c_str() + scene.find("[opaque:", at), "[opaque: (%d, %d) -> (%d, %d)",
                        &left, &top, &right, &bottom) == 4) {
            return {left, top, right - left, bottom - top};
        }
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

// How many pixels of the window's contents show a lamp's fill (beat 2's green or the others').
int litLampPixels(const Weston& weston, const QRect& contents, int scale) {
    weston.run({"import", "-window", "root", (weston.dir.path / "shot.png").string()});
    const QImage shot = QImage(QString::fromStdString((weston.dir.path / "shot.png").string()))
                            .copy(QRect(contents.topLeft() * scale, contents.size() * scale))
                            .convertToFormat(QImage::Format_RGB32);
    const auto* pixels = reinterpret_cast<const QRgb*>(shot.constBits());
    return static_cast<int>(std::count_if(pixels, pixels + shot.sizeInBytes() / 4, [](QRgb pixel) {
        return qRgb(128, 255, 128) == pixel || qRgb(0, 255, 0) == pixel;
    }));
}

} // namespace

class Wayland : public testing::TestWithParam<int> {};

TEST_P(Wayland, MapsAtItsSizePlaysByTheKeyboardLightsALampAndCloses) {
    const int scale = GetParam();
    std::unique_ptr<PulseServer> pulse;
    std::unique_ptr<Weston> weston;
    try {
        pulse = std::make_unique<PulseServer>(48000);
        weston = std::make_unique<Weston>(scale);
    } catch (const ServerUnavailable& error) {
        GTEST_SKIP() << error.what();
    }
    MonitorRecording recording(*pulse);
    // No platform named: as on a desktop, the Wayland session alone must make Qt use Wayland.
    std::vector<std::string> env = pulse->clientEnvironment();
    env.insert(env.end(),
               {"QT_QPA_PLATFORM=", "SDL_AUDIODRIVER=pulseaudio", "XDG_SESSION_TYPE=wayland",
                "WAYLAND_DISPLAY=" + (weston->dir.path / "wayland-test").string()});
    ChildProcess program({std::getenv("METRONOME_PROGRAM")}, env, weston->dir.path / "program.log");
    const QRect contents = findContents(*weston);
    ASSERT_FALSE(contents.isEmpty()) << weston->run({"weston-debug", "scene-graph"});
    EXPECT_EQ(contents.size(), QSize(650, 368));

    // Keys go to the window Weston focused as it mapped; the pointer waits in a corner.
    weston->run({"xdotool", "mousemove", "0", "0"});
    std::this_thread::sleep_for(2500ms); // a fresh server holds a new stream for about 2 s
    const auto started = Clock::now();
    for (const auto& [key, at] :
         {std::pair{"space", 0ms}, {"Escape", 4000ms}, {"Return", 5500ms}, {"space", 8000ms}}) {
        std::this_thread::sleep_until(started + at);
        weston->run({"xdotool", "key", key});
    }
    std::this_thread::sleep_for(1s);
    const std::vector<float> samples = recording.stop();
    std::vector<std::int64_t> onsets = FindOnsets(samples, 2);
    for (std::int64_t& onset : onsets) { // back to the click's first sound, before the threshold
        while (onset > 0 && samples[static_cast<std::size_t>(2 * onset - 1)] != 0) {
            --onset;
        }
    }
    // Both runs on their grid of exactly 500 ms × 48 frames; between them, one pause. An underrun
    // (a machine too busy to feed the sink in time) puts the clicks after it on a new grid.
    ASSERT_GE(onsets.size(), 8U);
    const std::int64_t slack = recording.playbackUnderruns() == 0 ? 0 : 480;
    int pauses = 0;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        const std::int64_t interval = onsets[i] - onsets[i - 1];
        pauses += interval > 48000 ? 1 : 0;
        EXPECT_TRUE(std::abs(interval - 24000) <= slack || interval > 48000)
            << i << ": " << interval;
    }
    EXPECT_EQ(pauses, 1);

    // A third run for the lamps: a screenshot would load the machine while a run is timed.
    weston->run({"xdotool", "key", "space"});
    std::this_thread::sleep_for(1s); // beat 2 or 3 has sounded by then, and its lamp is lit
    // One lamp, its fill whole and sharp: 81 × 73 less its outline and the 65 × 57 number box.
    EXPECT_EQ(litLampPixels(*weston, contents, scale), 1904 * scale * scale);

    // Qt's title bar has its close button 14 pixels in from the right, 15 above the contents.
    weston->run({"xdotool", "mousemove", std::to_string((contents.right() + 1 - 14) * scale),
                 std::to_string((contents.top() - 15) * scale), "click", "1"});
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(OutputScale, Wayland, testing::Values(1, 2));
