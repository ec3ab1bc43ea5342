// The real program as a user meets it, playing into a PulseAudio server of the test's own,
// which it records, kills and freezes.
#include <QColor> // Qt first: the session's Xlib defines macros that Qt's headers use as names
#include <QImage>

#include "Onsets.h"
#include "ProgramSession.h"
#include "PulseServer.h"

#include <cmath>
#include <csignal>
#include <iostream>
#include <thread>

using namespace metro::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kCaption = "Qo Metronome (v 1.00a)";

// A screenshot of the window.
QImage screenshot(const Scratch& scratch, const std::string& window) {
    scratch.x({"import", "-window", window, (scratch.dir / "shot.png").string()});
    return QImage(QString::fromStdString((scratch.dir / "shot.png").string()));
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
    OnsetFinder finder{0.0F, 2400};
    finder.scan(recording, 0);
    for (std::size_t i = 1; i < finder.onsets.size(); ++i) {
        EXPECT_EQ(finder.onsets[i] - finder.onsets[i - 1], periodFrames) << "interval " << i;
    }
    return finder.onsets;
}

std::unique_ptr<PulseServer> startPulse() {
    try {
        return std::make_unique<PulseServer>(48000);
    } catch (const PulseUnavailable& error) {
        ADD_FAILURE() << error.what();
        return nullptr;
    }
}

// 3/4 at 60 BPM, beat 3 turned up to full level: the clicks come in threes, one second apart,
// beat 2 at its start-up level (-4 dB) and beats 1 and 3 at full level. Gives true when the
// server logged an underrun (its silence moves the later clicks) and this is not the last try.
bool playThreeFour(PulseServer& pulse, bool lastTry) {
    const Scratch scratch("play");
    MonitorRecording recording(pulse);
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
    const QImage shot = screenshot(scratch, window);
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
    MonitorRecording recording(*pulse);
    std::this_thread::sleep_for(3500ms);
    const std::vector<float> samples = recording.stop();
    // An underrun the server logged moves the clicks after it: then they are only counted.
    const auto heard = recording.playbackUnderruns() == 0 ? expectOnTheGrid(samples, 48000)
                                                          : FindOnsets(samples, 2);
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
