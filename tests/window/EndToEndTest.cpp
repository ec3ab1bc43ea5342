// The real program as a user meets it, playing into a PulseAudio server of the test's own,
// which it records and freezes; and the same as a native Wayland client of a private Weston, at
// output scale 1 or 2.
#include <QColor> // Qt first: the session's Xlib defines macros that Qt's headers use as names
#include <QImage>

#include "Onsets.h"
#include "ProgramSession.h"
#include "PulseServer.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

using namespace metro::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kCaption = "Qo Metronome (v 1.00a)";

// A screenshot of a window, or of the whole display ("root").
QImage screenshot(const Scratch& scratch, const std::string& window) {
    scratch.x({"import", "-window", window, (scratch.dir / "shot.png").string()});
    return QImage(QString::fromStdString((scratch.dir / "shot.png").string()));
}

// The program's X11 window, focused, once its voices have loaded (150 ms after it appears).
struct ProgramWindow {
    explicit ProgramWindow(const Scratch& on)
        : scratch(on), id(on.window("--name", "Qo Metronome \\(v 1.00a\\)")) {
        scratch.x({"xdotool", "windowfocus", "--sync", id});
        std::this_thread::sleep_for(600ms);
    }
    void click(int x, int y) const {
        scratch.x({"xdotool", "mousemove", "--window", id, std::to_string(x), std::to_string(y),
                   "click", "1"});
    }
    // 60 BPM typed into the tempo box, and the beat started.
    void startAt60() const {
        click(300, 57);
        scratch.x({"xdotool", "key", "ctrl+a", "6", "0", "space"});
    }
    std::string caption() const { return scratch.x({"xdotool", "getwindowname", id}); }

    const Scratch& scratch;
    std::string id;
};

// The lamp (1..4) whose ring shows its fill colour, or 0 when none does.
int litLamp(const QImage& shot) {
    int lit = 0;
    for (const auto& [lamp, ringX] : {std::pair{1, 52}, {2, 212}, {3, 372}, {4, 524}}) {
        if (shot.pixelColor(ringX, 160) ==
            (lamp == 2 ? QColor(0, 255, 0) : QColor(128, 255, 128))) {
            EXPECT_EQ(lit, 0) << "two lamps lit";
            lit = lamp;
        }
    }
    return lit;
}

// Where each click of a recording starts: its first sample off silence, so that the clicks'
// levels do not move it.
std::vector<std::int64_t> clickOnsets(const std::vector<float>& recording) {
    OnsetFinder finder{0.0F, 2400};
    finder.scan(recording, 0);
    return finder.onsets;
}

// 3/4 at 60 BPM, beat 3 turned up to full level: the clicks come in threes, one second apart,
// beat 2 at its start-up level (-4 dB) and beats 1 and 3 at full level. Gives true when the
// server logged an underrun (its silence moves the later clicks) and this is not the last try.
bool playThreeFour(PulseServer& pulse, bool lastTry) {
    const Scratch scratch("play");
    MonitorRecording recording(pulse);
    ChildProcess program = scratch.launch(pulse.clientEnvironment());
    const ProgramWindow window(scratch);
    window.click(548, 56);  // "3/4"
    window.click(408, 224); // Slider3, then to its top level
    scratch.x({"xdotool", "key", "End"});
    window.startAt60();
    const auto start = Clock::now();

    // Beat k sounds at start + k s; its lamp lights then, plus up to 300 ms of output latency.
    const auto lampAt = [&](Clock::time_point t) {
        return static_cast<int>(((t - start) / 1s + 2) % 3 + 1);
    };
    std::this_thread::sleep_until(start + 1500ms);
    const auto from = Clock::now() - 300ms;
    const int lamp = litLamp(screenshot(scratch, window.id));
    EXPECT_TRUE(lamp == lampAt(from) || lamp == lampAt(Clock::now())) << lamp;

    std::this_thread::sleep_until(start + 6600ms);
    scratch.x({"xdotool", "key", "Escape"});
    std::this_thread::sleep_for(1500ms); // nothing more after STOP
    const std::vector<float> samples = recording.stop();
    EXPECT_EQ(kill(program.pid(), SIGTERM), 0); // the sound library must not swallow it
    const int status = program.waitFor(3s);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    if (recording.playbackUnderruns() > 0 && !lastTry) {
        return true;
    }
    const auto onsets = clickOnsets(samples); // each a whole number of seconds after the first
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        EXPECT_EQ(onsets[i] - onsets[i - 1], 48000) << "interval " << i;
    }
    // The first click after the stream starts can be lost by the monitor; six were played.
    EXPECT_TRUE(onsets.size() == 5 || onsets.size() == 6) << onsets.size();
    if (onsets.size() < 5 || onsets.size() > 6) {
        return false;
    }
    std::array<double, 4> peak{};
    for (std::size_t i = 0; i < onsets.size(); ++i) {
        const auto first = samples.begin() + 2 * onsets[i];
        const auto [lo, hi] = std::minmax_element(first, std::min(first + 4800, samples.end()));
        double& beatPeak = peak.at((i + 6 - onsets.size()) % 3 + 1);
        beatPeak = std::max({beatPeak, -double{*lo}, double{*hi}});
    }
    EXPECT_NEAR(peak[2] / peak[1], std::pow(10.0, -400.0 / 2000.0), 0.05);
    EXPECT_NEAR(peak[3] / peak[1], 1.0, 0.05);
    return false;
}

} // namespace

TEST(EndToEnd, PlaysThreeFourWithTheLevelsSetAndLightsTheLamps) {
    PulseServer pulse(48000);
    for (int attempt = 1; attempt <= 2 && playThreeFour(pulse, attempt == 2); ++attempt) {
        std::cout << "the server logged an underrun: played once more\n";
    }
}

// No sound server and no ALSA device: the device message, and the program ends with a failure
// status once it is dismissed, without ever showing its window. SDL tries every driver it has;
// an empty ALSA configuration stands for a machine without a sound card.
TEST(EndToEnd, NoSoundDeviceShowsTheMessageAndExits) {
    const Scratch scratch("nodevice");
    fs::create_directories(scratch.dir / "runtime");
    std::ofstream(scratch.dir / "asound.conf").flush();
    ChildProcess program = scratch.launch(
        {"PULSE_SERVER=unix:" + (scratch.dir / "runtime/none").string(),
         "XDG_RUNTIME_DIR=" + (scratch.dir / "runtime").string(),
         "SDL_AUDIODRIVER=", "ALSA_CONFIG_PATH=" + (scratch.dir / "asound.conf").string()});
    // The main window's name would match too; but Enter there starts the beat, and it runs on.
    const std::string box = scratch.window("--name", "Qo Metronome");
    scratch.x({"xdotool", "windowfocus", "--sync", box});
    scratch.x({"xdotool", "key", "Return"});
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// The sound server frozen while the metronome plays: the window answers, its caption telling
// while there is no sound, and closes at once (status 0) all the same. (The output finding a
// killed server again, and the clicks on their grid after it, are ServerFaults' checks of the
// same sound path.)
TEST(EndToEnd, TellsItsSoundServerIsFrozenAndClosesAllTheSame) {
    PulseServer pulse(48000);
    const Scratch scratch("faults");
    ChildProcess program = scratch.launch(pulse.clientEnvironment());
    const ProgramWindow window(scratch);
    window.startAt60();
    std::this_thread::sleep_for(4s); // a fresh server holds a new stream for about 2 s
    EXPECT_EQ(window.caption(), kCaption + "\n");
    pulse.freeze();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(window.caption(), kCaption + " - no sound\n");
    askToClose(window.id);
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pulse.thaw();
}

// The program as a native Wayland client: it maps at its size, starts and stops by the
// keyboard with its clicks on their grid, lights a lamp drawn sharp at the output scale and
// closes by its title bar's button. The compositor is a private Weston on its X11 backend,
// filling the desktop's display, which headless.sh sized 1280 × 800 times the scale
// (HEADLESS_SCREEN): only that backend gives Weston a seat (the headless one has no keyboard),
// so keys and clicks that xdotool sends to the display reach the client Weston focused, and the
// root window shows what Weston draws. --debug lets weston-debug read its scene graph, which
// tells where and how large the window is.
TEST(Wayland, MapsAtItsSizePlaysByTheKeyboardLightsALampAndCloses) {
    const char* screen = std::getenv("HEADLESS_SCREEN"); // 1280 × 800 times the output scale
    ASSERT_TRUE(screen != nullptr && std::getenv("XDG_RUNTIME_DIR") != nullptr);
    const int scale = std::atoi(screen) / 1280;
    PulseServer pulse(48000);
    const Scratch scratch("wayland");
    ChildProcess weston({"weston", "--backend=x11-backend.so", "--socket=wayland-test",
                         "--width=1280", "--height=800", "--use-pixman", "--debug",
                         "--scale=" + std::to_string(scale)},
                        {}, scratch.dir / "weston.log");
    const std::string socket = std::getenv("XDG_RUNTIME_DIR") + std::string("/wayland-test");
    setenv("WAYLAND_DISPLAY", socket.c_str(), 1); // for weston-debug
    const auto sceneGraph = [&] { return scratch.x({"weston-debug", "scene-graph"}, "x", false); };
    PollUntil<ServerUnavailable>([&] { return sceneGraph().starts_with("Weston scene"); },
                                 [&] { return weston.waitFor({}) != -1; }, "weston did not start");

    // No platform named: as on a desktop, the Wayland session alone must make Qt use Wayland.
    MonitorRecording recording(pulse);
    std::vector<std::string> env = pulse.clientEnvironment();
    env.insert(env.end(),
               {"QT_QPA_PLATFORM=", "XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=" + socket});
    ChildProcess program = scratch.launch(env);
    // The window's contents (Qt's decoration left out) in logical pixels, once a window of ours
    // with our application id has mapped (within 15 s).
    QRect contents;
    for (int i = 0; i < 150 && contents.isEmpty(); ++i) {
        const std::string scene = sceneGraph();
        const std::size_t at = scene.find(
            "[opaque:", scene.find("'Qo Metronome (v 1.00a)' of org.example.qo_metronome"));
        int left = 0, top = 0, right = 0, bottom = 0;
        if (at != std::string::npos &&
            std::sscanf(scene.c_str() + at, "[opaque: (%d, %d) -> (%d, %d)", &left, &top, &right,
                        &bottom) == 4) {
            contents = QRect(left, top, right - left, bottom - top);
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(contents.isEmpty()) << sceneGraph();
    EXPECT_EQ(contents.size(), QSize(650, 368));

    // Keys go to the window Weston focused as it mapped; the pointer waits in a corner. Space
    // starts and stops, Esc stops, Enter starts, each run a few seconds of 120 BPM. A fresh
    // server holds a new stream for about 2 s, so the first run is the longest.
    scratch.x({"xdotool", "mousemove", "0", "0"});
    std::this_thread::sleep_for(600ms);
    for (const auto& [key, runs, lasting] : {std::tuple{"space", true, 4000ms},
                                             {"Escape", false, 1500ms},
                                             {"Return", true, 3000ms},
                                             {"space", false, 1500ms},
                                             {"space", true, 1000ms}}) {
        scratch.x({"xdotool", "key", key});
        EXPECT_TRUE(beatTimerRuns(program.pid(), runs)) << key;
        std::this_thread::sleep_for(lasting); // in the last run a lamp is lit by then
    }
    const QImage shot = screenshot(scratch, "root")
                            .copy(QRect(contents.topLeft() * scale, contents.size() * scale))
                            .convertToFormat(QImage::Format_RGB32);
    const auto* pixels = reinterpret_cast<const QRgb*>(shot.constBits());
    // One lamp, its fill whole and sharp: 81 × 73 less its outline and the 65 × 57 number box.
    EXPECT_EQ(std::count_if(pixels, pixels + shot.sizeInBytes() / 4,
                            [](QRgb pixel) {
                                return pixel == qRgb(128, 255, 128) || pixel == qRgb(0, 255, 0);
                            }),
              1904 * scale * scale);

    // Qt's title bar has its close button 14 pixels in from the right, 15 above the contents.
    scratch.x({"xdotool", "mousemove", std::to_string((contents.right() + 1 - 14) * scale),
               std::to_string((contents.top() - 15) * scale), "click", "1"});
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Each run on its grid of exactly 500 ms × 48 frames, the pauses between them longer than a
    // beat. Only an underrun the server logged may move a run's grid later.
    const auto onsets = clickOnsets(recording.stop());
    ASSERT_GE(onsets.size(), 8U);
    int pauses = 0;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        const std::int64_t interval = onsets[i] - onsets[i - 1];
        pauses += interval > 48000 ? 1 : 0;
        EXPECT_TRUE(interval == 24000 || interval > 48000 ||
                    (interval > 24000 && recording.playbackUnderruns() > 0))
            << i << ": " << interval;
    }
    EXPECT_GE(pauses, 1);
}
