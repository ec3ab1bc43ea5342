// The real program as a user meets it, on the private desktop tools/headless.sh gives this test
// (DISPLAY, and a PulseAudio server the close loop plays into), driven by xdotool. The end-to-end
// tests play into a PulseAudio server of their own, which they record, kill and freeze.
#include "ChildProcess.h"
#include "Onsets.h"
#include "PulseServer.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <X11/Xlib.h> // last: its macros (None, Bool, Status) must not reach other headers

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using metro::testsupport::ChildProcess;
using metro::testsupport::PulseServer;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kProgram = std::getenv("METRONOME_PROGRAM"); // the binary under test
const std::string kCaption = "Qo Metronome (v 1.00a)";

// A scratch folder for one test's logs and screenshots, removed at the end.
struct Scratch {
    explicit Scratch(const std::string& name)
        : dir(fs::temp_directory_path() / ("metronome-" + name + std::to_string(getpid()))) {
        fs::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    /// Starts the program with `env` added, its output in `log`.
    ChildProcess launch(std::vector<std::string> env, const std::string& log = "program") const {
        env.insert(env.end(), {"SDL_AUDIODRIVER=pulseaudio", "WAYLAND_DISPLAY="});
        return ChildProcess({kProgram != nullptr ? kProgram : "metronome"}, env,
                            dir / (log + ".log"));
    }
    /// Runs an X client (xdotool, import) to its end and returns what it printed; with
    /// `mustWork`, a failure status fails the test.
    std::string x(const std::vector<std::string>& argv, const std::string& out = "x",
                  bool mustWork = true) const {
        const int status = metro::testsupport::RunProgram(argv, {}, dir / (out + ".out"), 20s);
        std::stringstream text;
        text << std::ifstream(dir / (out + ".out")).rdbuf();
        EXPECT_TRUE(status == 0 || !mustWork)
            << argv.front() << " " << argv.at(1) << ": " << text.str();
        return status == 0 ? text.str() : "";
    }
    /// The first visible window that xdotool finds by `how` ("--name", "--pid") and `what`.
    /// A window of another program that vanishes while xdotool looks trips it: it looks again.
    std::string window(const std::string& how, const std::string& what,
                       const std::string& out = "x") const {
        std::string ids;
        for (int attempt = 0; attempt < 20 && ids.empty(); ++attempt) {
            ids = x({"xdotool", "search", "--sync", "--onlyvisible", how, what}, out, false);
        }
        EXPECT_FALSE(ids.empty()) << "no window " << how << " " << what;
        return ids.substr(0, ids.find('\n'));
    }
    /// Writes a screenshot of the window and reads it back.
    QImage shot(const std::string& window) const {
        x({"import", "-window", window, (dir / "shot.png").string()});
        return QImage(QString::fromStdString((dir / "shot.png").string()));
    }
    fs::path dir;
};

// Asks the window to close, as a window manager's close button would (WM_DELETE_WINDOW).
void askToClose(const std::string& window) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(window);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XCloseDisplay(display);
}

// The lamp (1..4) whose ring shows its fill colour, or 0 when none does.
int litLamp(const QImage& shot) {
    const std::array<int, 4> ringX{52, 212, 372, 524};
    int lit = 0;
    for (std::size_t i = 0; i < ringX.size(); ++i) {
        const QColor fill = i == 1 ? QColor(0, 255, 0) : QColor(128, 255, 128);
        if (shot.pixelColor(ringX[i], 160) == fill) {
            EXPECT_EQ(lit, 0) << "two lamps lit";
            lit = static_cast<int>(i) + 1;
        }
    }
    return lit;
}

// Every click of a recording a whole number of periods after the first, to the frame. The
// onsets are where the sound starts (any sample off silence), so the clicks' levels do not
// move them.
std::vector<std::int64_t> expectOnTheGrid(const std::vector<float>& recording,
                                          std::int64_t periodFrames) {
    metro::testsupport::OnsetFinder finder{0.0F, 2400};
    finder.scan(recording, 0);
    for (std::size_t i = 1; i < finder.onsets.size(); ++i) {
        EXPECT_EQ(finder.onsets[i] - finder.onsets[i - 1], periodFrames) << "interval " << i;
    }
    return finder.onsets;
}

std::unique_ptr<PulseServer> startPulse() {
    try {
        return std::make_unique<PulseServer>(48000);
    } catch (const metro::testsupport::PulseUnavailable& error) {
        ADD_FAILURE() << error.what();
        return nullptr;
    }
}

// 3/4 at 60 BPM, beat 3 turned up to full level: the clicks come in threes, one second apart,
// beat 2 at its start-up level (-4 dB) and beats 1 and 3 at full level. Gives true when the
// server logged an underrun (its silence moves the later clicks) and this is not the last try.
bool playThreeFour(PulseServer& pulse, bool lastTry) {
    const Scratch scratch("play");
    metro::testsupport::MonitorRecording recording(pulse);
    ChildProcess program = scratch.launch(pulse.clientEnvironment());
    const std::string window = scratch.window("--name", "Qo Metronome \\(v 1.00a\\)");
    scratch.x({"xdotool", "windowfocus", "--sync", window});
    std::this_thread::sleep_for(600ms); // the voices load 150 ms after the window appears
    const auto click = [&](int x, int y) {
        scratch.x({"xdotool", "mousemove", "--window", window, std::to_string(x), std::to_string(y),
                   "click", "1"});
    };
    click(548, 56);  // "3/4"
    click(408, 224); // Slider3, then to its top level
    scratch.x({"xdotool", "key", "End"});
    click(300, 57); // the tempo box: 60 BPM
    scratch.x({"xdotool", "key", "ctrl+a", "6", "0", "space"});
    const auto start = Clock::now();

    // Beat k sounds at start + k s; its lamp lights then, plus up to 300 ms of output latency.
    const auto lampAt = [&](Clock::time_point t) {
        return static_cast<int>(((t - start) / 1s + 2) % 3 + 1);
    };
    std::this_thread::sleep_until(start + 1500ms);
    const auto from = Clock::now() - 300ms;
    const QImage shot = scratch.shot(window);
    const int lamp = litLamp(shot);
    EXPECT_TRUE(lamp == lampAt(from) || lamp == lampAt(Clock::now())) << lamp;
    // The gap where beat 4 was: no lamp, no number.
    EXPECT_EQ(shot.pixelColor(524, 160), shot.pixelColor(10, 120));
    EXPECT_EQ(shot.pixelColor(560, 165), shot.pixelColor(10, 120));

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
    const auto onsets = expectOnTheGrid(samples, 48000);
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
    const auto pulse = startPulse();
    ASSERT_TRUE(pulse);
    for (int attempt = 1; attempt <= 2 && playThreeFour(*pulse, attempt == 2); ++attempt) {
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
    const std::string box = scratch.window("--name", "Qo Metronome");
    EXPECT_EQ(scratch.x({"xdotool", "getwindowname", box}), "Qo Metronome\n");
    scratch.x({"xdotool", "windowfocus", "--sync", box});
    scratch.x({"xdotool", "key", "Return"});
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// The sound server killed while the metronome plays, started again, then frozen: the window
// answers, its caption telling while there is no sound, the clicks come back on their grid with
// the server, and the window closes at once (status 0) even while the server is frozen.
TEST(EndToEnd, SurvivesItsSoundServerKilledRestartedAndFrozen) {
    const auto pulse = startPulse();
    ASSERT_TRUE(pulse);
    const Scratch scratch("faults");
    ChildProcess program = scratch.launch(pulse->clientEnvironment());
    const std::string window = scratch.window("--name", "Qo Metronome \\(v 1.00a\\)");
    const auto caption = [&] { return scratch.x({"xdotool", "getwindowname", window}); };
    scratch.x({"xdotool", "windowfocus", "--sync", window});
    std::this_thread::sleep_for(600ms); // the voices load 150 ms after the window appears
    scratch.x({"xdotool", "mousemove", "--window", window, "300", "57", "click", "1"});
    scratch.x({"xdotool", "key", "ctrl+a", "6", "0", "space"}); // 60 BPM, started
    std::this_thread::sleep_for(1s);
    pulse->kill();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(caption(), kCaption + " - no sound\n");
    pulse->restart();
    metro::testsupport::MonitorRecording recording(*pulse);
    std::this_thread::sleep_for(3500ms);
    const std::vector<float> samples = recording.stop();
    // An underrun the server logged moves the clicks after it: then they are only counted.
    const auto heard = recording.playbackUnderruns() == 0
                           ? expectOnTheGrid(samples, 48000)
                           : metro::testsupport::FindOnsets(samples, 2);
    EXPECT_GE(heard.size(), 2U) << "no sound after the restart";
    EXPECT_EQ(caption(), kCaption + "\n");
    pulse->freeze();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(caption(), kCaption + " - no sound\n");
    askToClose(window);
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pulse->thaw();
}

namespace {

// True once the program runs a beat timer: its thread is named metro-beat.
bool beatTimerRuns(pid_t pid) {
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", error)) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name == "metro-beat") {
            return true;
        }
    }
    return false;
}

// Starts the program `runs` times: sets 400 BPM, starts the beat, asks the window to close a
// random 0-300 ms later (any point of the 150 ms tick) and waits for the exit. Keys go to the
// program's own window, so lanes on one display do not type into each other's windows. Gives
// the first failure, or "".
std::string runLane(const Scratch& scratch, int lane, int runs) {
    const std::string name = "lane" + std::to_string(lane);
    std::mt19937 random(static_cast<unsigned>(lane + 1));
    std::uniform_int_distribution<int> delayMs(0, 300);
    for (int run = 0; run < runs; ++run) {
        const std::string at = name + " run " + std::to_string(run) + ": ";
        ChildProcess program = scratch.launch({}, name);
        const std::string window = scratch.window("--pid", std::to_string(program.pid()), name);
        if (window.empty()) {
            return at + "no window";
        }
        const auto keys = [&](std::vector<std::string> names) {
            names.insert(names.begin(), {"xdotool", "key", "--window", window});
            scratch.x(names, name);
        };
        // Tab, Tab: from the first option to the tempo box. Then the space bar until the beat
        // runs: Start is ignored until the voices have loaded, shortly after the window shows.
        keys({"Tab", "Tab", "ctrl+a", "4", "0", "0"});
        for (int attempt = 0; attempt < 20 && !beatTimerRuns(program.pid()); ++attempt) {
            keys({"space"});
            for (int poll = 0; poll < 50 && !beatTimerRuns(program.pid()); ++poll) {
                std::this_thread::sleep_for(2ms);
            }
        }
        if (!beatTimerRuns(program.pid())) {
            return at + "the beat never started";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        askToClose(window);
        const int status = program.waitFor(10s);
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return at + "wait status " + std::to_string(status) + " after the close";
        }
    }
    return "";
}

} // namespace

// The window closed while the beat runs, METRONOME_CLOSE_RUNS times (1000 unless set), in three
// lanes side by side: the program takes about a second to close (the sound device's shut-down),
// time the lanes overlap. Every run must exit with status 0 within 10 s.
TEST(CloseLoop, ClosingTheWindowWhileTheBeatRunsAlwaysEndsCleanly) {
    const char* runsText = std::getenv("METRONOME_CLOSE_RUNS");
    const int runs = runsText != nullptr ? std::atoi(runsText) : 1000;
    constexpr int kLanes = 3;
    const Scratch scratch("close");
    XInitThreads();
    std::vector<std::future<std::string>> lanes;
    for (int lane = 0; lane < kLanes; ++lane) {
        const int share = runs / kLanes + (lane < runs % kLanes ? 1 : 0);
        lanes.push_back(std::async(std::launch::async, runLane, std::cref(scratch), lane, share));
    }
    for (auto& lane : lanes) {
        EXPECT_EQ(lane.get(), "");
    }
}
