// The real program as a user meets it: on an Xvfb display with a private PulseAudio null sink,
// driven by xdotool. The recording of the sink shows the clicks and their levels, and
// screenshots show the lit lamp in its colour.
#include "ChildProcess.h"
#include "Onsets.h"
#include "PulseServer.h"
#include "XvfbDisplay.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using metro::testsupport::ChildProcess;
using metro::testsupport::PulseServer;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kProgram = std::getenv("METRONOME_PROGRAM"); // the binary under test

// One headless session: an Xvfb display of its own and a scratch folder.
struct Session {
    explicit Session(const std::string& name)
        : dir(fs::temp_directory_path() / ("metronome-e2e-" + name + std::to_string(getpid()))) {
        fs::create_directories(dir);
        xvfb = std::make_unique<metro::testsupport::XvfbDisplay>(dir);
        display = "DISPLAY=" + xvfb->name();
    }
    ~Session() {
        xvfb.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    ChildProcess run(std::vector<std::string> env) const {
        env.insert(env.end(), {display, "SDL_AUDIODRIVER=pulseaudio", "WAYLAND_DISPLAY="});
        return ChildProcess({kProgram != nullptr ? kProgram : "metronome"}, env,
                            dir / "metronome.log");
    }
    // Runs an X client (xdotool, import) and returns what it printed.
    std::string x(const std::vector<std::string>& argv) const {
        const int status = metro::testsupport::RunProgram(argv, {display}, dir / "x.out", 20s);
        std::stringstream text;
        text << std::ifstream(dir / "x.out").rdbuf();
        EXPECT_EQ(status, 0) << argv.front() << " " << argv.at(1) << ": " << text.str();
        return text.str();
    }
    std::string waitForWindow(const std::string& name) const {
        const std::string ids = x({"xdotool", "search", "--sync", "--onlyvisible", "--name", name});
        return ids.substr(0, ids.find('\n'));
    }

    fs::path dir;
    std::string display;
    std::unique_ptr<metro::testsupport::XvfbDisplay> xvfb;
};

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

} // namespace

// 3/4 at 60 BPM, beat 3 turned up to full level: the clicks come in threes, one second apart,
// beat 2 at its start-up level (-4 dB) and beats 1 and 3 at full level.
TEST(EndToEnd, PlaysThreeFourWithTheLevelsSetAndLightsTheLamps) {
    std::unique_ptr<PulseServer> pulse;
    try {
        pulse = std::make_unique<PulseServer>(48000);
    } catch (const metro::testsupport::PulseUnavailable& error) {
        GTEST_SKIP() << error.what();
    }
    Session session("play");
    metro::testsupport::MonitorRecording recording(*pulse);
    ChildProcess program = session.run(pulse->clientEnvironment());
    const std::string window = session.waitForWindow("Qo Metronome \\(v 1.00a\\)");
    session.x({"xdotool", "windowfocus", "--sync", window});
    std::this_thread::sleep_for(600ms); // the voices load 150 ms after the window appears
    const auto click = [&](int x, int y) {
        session.x({"xdotool", "mousemove", "--window", window, std::to_string(x), std::to_string(y),
                   "click", "1"});
    };
    click(548, 56);  // "3/4"
    click(408, 224); // Slider3, then to its top level
    session.x({"xdotool", "key", "End"});
    click(300, 57); // the tempo box: 60 BPM
    session.x({"xdotool", "key", "ctrl+a", "6", "0", "space"});
    const auto start = Clock::now();

    // Beat k sounds at start + k s; its lamp lights then, plus up to 300 ms of output latency.
    const auto lampAt = [&](Clock::time_point t) {
        return static_cast<int>(((t - start) / 1s + 2) % 3 + 1);
    };
    std::this_thread::sleep_until(start + 1500ms);
    const auto from = Clock::now() - 300ms;
    session.x({"import", "-window", window, (session.dir / "shot.png").string()});
    const QImage shot(QString::fromStdString((session.dir / "shot.png").string()));
    const int lamp = litLamp(shot);
    EXPECT_TRUE(lamp == lampAt(from) || lamp == lampAt(Clock::now())) << lamp;
    // The gap where beat 4 was: no lamp, no number.
    EXPECT_EQ(shot.pixelColor(524, 160), shot.pixelColor(10, 120));
    EXPECT_EQ(shot.pixelColor(560, 165), shot.pixelColor(10, 120));

    std::this_thread::sleep_until(start + 6600ms);
    session.x({"xdotool", "key", "Escape"});
    std::this_thread::sleep_for(1500ms); // nothing more after STOP
    const std::vector<float> samples = recording.stop();
    ASSERT_EQ(kill(program.pid(), SIGTERM), 0); // the sound library must not swallow it
    const int status = program.waitFor(3s);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

    const auto onsets = metro::testsupport::FindOnsets(samples, 2);
    // The first click after the stream starts can be lost by the monitor; six were played.
    ASSERT_GE(onsets.size(), 5U);
    ASSERT_LE(onsets.size(), 6U);
    const std::size_t missing = 6 - onsets.size();
    std::array<double, 4> peak{};
    for (std::size_t i = 0; i < onsets.size(); ++i) {
        // One second apart, to the frame but for where the threshold meets the louder beat 1.
        if (i > 0) {
            EXPECT_NEAR(static_cast<double>(onsets[i] - onsets[i - 1]), 48000.0, 2.0) << i;
        }
        const auto first = samples.begin() + 2 * onsets[i];
        const auto last = std::min(first + 4800, samples.end());
        const auto [lo, hi] = std::minmax_element(first, last);
        const double height = std::max(-double{*lo}, double{*hi});
        double& beatPeak = peak.at((i + missing) % 3 + 1);
        beatPeak = std::max(beatPeak, height);
    }
    ASSERT_GT(peak[1], 0.0);
    EXPECT_NEAR(peak[2] / peak[1], std::pow(10.0, -400.0 / 2000.0), 0.05);
    EXPECT_NEAR(peak[3] / peak[1], 1.0, 0.05);
}

// No sound server and no ALSA device: the device message, and the program ends with a failure
// status once it is dismissed, without ever showing its window. SDL tries every driver it has;
// an empty ALSA configuration stands for a machine without a sound card.
TEST(EndToEnd, NoSoundDeviceShowsTheMessageAndExits) {
    Session session("nodevice");
    fs::create_directories(session.dir / "runtime");
    std::ofstream(session.dir / "asound.conf").flush();
    ChildProcess program = session.run(
        {"PULSE_SERVER=unix:" + (session.dir / "runtime/none").string(),
         "XDG_RUNTIME_DIR=" + (session.dir / "runtime").string(),
         "SDL_AUDIODRIVER=", "ALSA_CONFIG_PATH=" + (session.dir / "asound.conf").string()});
    const std::string box = session.waitForWindow("Qo Metronome");
    EXPECT_EQ(session.x({"xdotool", "getwindowname", box}), "Qo Metronome\n");
    session.x({"xdotool", "windowfocus", "--sync", box});
    session.x({"xdotool", "key", "Return"});
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

namespace {

// Asks the window to close, as a window manager's close button would (WM_DELETE_WINDOW).
void askToClose(const Session& session, const std::string& window) {
    Display* display = XOpenDisplay(session.display.substr(session.display.find(':')).c_str());
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

// The lamps lit in screenshots over `span`: the beat going on shows as several lamps in turn.
std::set<int> lampsSeen(const Session& session, const std::string& window, Clock::duration span) {
    std::set<int> seen;
    const auto until = Clock::now() + span;
    while (Clock::now() < until) {
        session.x({"import", "-window", window, (session.dir / "shot.png").string()});
        seen.insert(litLamp(QImage(QString::fromStdString((session.dir / "shot.png").string()))));
        std::this_thread::sleep_for(150ms);
    }
    return seen;
}

} // namespace

// The sound server killed while the metronome plays, started again, then frozen: the window
// answers and the lamps keep the beat throughout, the caption tells while there is no sound,
// the clicks come back with the server, and the window closes at once (status 0) even while
// the server is frozen.
TEST(EndToEnd, SurvivesItsSoundServerKilledRestartedAndFrozen) {
    std::unique_ptr<PulseServer> pulse;
    try {
        pulse = std::make_unique<PulseServer>(48000);
    } catch (const metro::testsupport::PulseUnavailable& error) {
        GTEST_SKIP() << error.what();
    }
    Session session("faults");
    ChildProcess program = session.run(pulse->clientEnvironment());
    const std::string window = session.waitForWindow("Qo Metronome \\(v 1.00a\\)");
    session.x({"xdotool", "windowfocus", "--sync", window});
    std::this_thread::sleep_for(600ms); // the voices load 150 ms after the window appears
    session.x({"xdotool", "mousemove", "--window", window, "300", "57", "click", "1"});
    session.x({"xdotool", "key", "ctrl+a", "6", "0", "space"}); // 60 BPM, started
    std::this_thread::sleep_for(1s);

    const std::string caption = "Qo Metronome (v 1.00a)\n";
    const std::string noSound = "Qo Metronome (v 1.00a) - no sound\n";
    pulse->kill();
    EXPECT_GE(lampsSeen(session, window, 3s).size(), 3U) << "the lamps stopped with the server";
    EXPECT_EQ(session.x({"xdotool", "getwindowname", window}), noSound);
    session.x({"xdotool", "key", "Escape"}); // the window still answers: Stop, then Start
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(lampsSeen(session, window, 1s), std::set<int>{0}) << "a lamp lit after Stop";
    session.x({"xdotool", "key", "space"});

    pulse->restart();
    metro::testsupport::MonitorRecording recording(*pulse);
    std::this_thread::sleep_for(3500ms);
    const auto onsets = metro::testsupport::FindOnsets(recording.stop(), 2);
    ASSERT_GE(onsets.size(), 2U) << "no sound after the server came back";
    EXPECT_NEAR(static_cast<double>(onsets.back() - onsets[onsets.size() - 2]), 48000.0, 2.0);
    EXPECT_EQ(session.x({"xdotool", "getwindowname", window}), caption);

    pulse->freeze();
    EXPECT_GE(lampsSeen(session, window, 2500ms).size(), 2U) << "the lamps stopped with the server";
    EXPECT_EQ(session.x({"xdotool", "getwindowname", window}), noSound);
    const auto closing = Clock::now();
    askToClose(session, window);
    const int status = program.waitFor(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::cout << "closed " << std::chrono::duration<double>(Clock::now() - closing).count()
              << " s after being asked, the server frozen\n";
    pulse->thaw();
}
