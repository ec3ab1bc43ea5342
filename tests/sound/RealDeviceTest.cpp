#include "metro/core/PeriodicTimer.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/VoiceBank.h"

#include "Onsets.h"
#include "PulseServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <thread>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;
using testsupport::PulseServer;

constexpr int kClicks = 20;
constexpr std::int32_t kPeriodMs = 150;
constexpr std::int64_t kPeriodFrames = 7200; // 150 ms at 48 kHz

constexpr int kAttempts = 3;
constexpr auto kPreRoll = 1500ms;

struct Attempt {
    std::vector<std::int64_t> onsets;
    std::size_t frames = 0;
    std::size_t underruns = 0;
    std::uint64_t lateStarts = 0;
    std::uint64_t corrections = 0;
};

/// Plays the clicks once, from opening the device to closing it, recording the monitor.
Attempt playClicks(const PulseServer& server) {
    EngineSoundService sound(std::make_unique<DeviceOutput>());
    sound.open();
    EXPECT_EQ(sound.sampleRate(), 48000);
    VoiceBank bank(sound);
    bank.SETIT(); // all four voices at full level, so every click has the same shape

    // As in the program, the stream runs for a while before the first beat: the mixer's
    // clock map settles within a second or two.
    std::this_thread::sleep_for(kPreRoll);
    testsupport::MonitorRecording recording(server);

    core::PeriodicTimer timer;
    std::atomic<int> played{0};
    const std::int32_t event = timer.setEvent(kPeriodMs, [&](const core::TimerCall& call) {
        if (played.load() < kClicks) {
            // A late wake-up of 0..8 ms, different on each beat: the click must not move.
            std::this_thread::sleep_for(std::chrono::milliseconds(call.index * 5 % 9));
            sound.play({.slot = static_cast<int>(call.index - 1) % 4 + 1,
                        .scheduled = call.scheduled,
                        .run = 1});
            ++played;
        }
    });
    EXPECT_NE(event, 0);
    while (event != 0 && played.load() < kClicks) {
        std::this_thread::sleep_for(10ms);
    }
    timer.killEvent(event);
    std::this_thread::sleep_for(sound.outputLatency() + 300ms);

    Attempt attempt;
    const std::vector<float> samples = recording.stop();
    attempt.frames = samples.size() / 2;
    attempt.onsets = testsupport::FindOnsets(samples, 2);
    attempt.underruns = recording.playbackUnderruns();
    attempt.lateStarts = sound.mixer()->lateStarts();
    attempt.corrections = sound.mixer()->gridCorrections();
    sound.close();
    return attempt;
}

// The real path: the periodic timer cues the sound service (each cue a few ms late on purpose),
// SDL2 plays into a private PulseAudio null sink, and the sink's monitor is recorded and every
// click found to the sample. Starting each click at the next buffer instead fails this.
// A run in which the stream ran dry (the machine too busy for 10 ms buffers) shows nothing
// about placement, so it is run again, up to three times.
TEST(RealDevice, PlaysEveryClickExactlyOnItsFrame) {
    std::unique_ptr<PulseServer> server;
    try {
        server = std::make_unique<PulseServer>(48000);
    } catch (const testsupport::PulseUnavailable& error) {
        GTEST_SKIP() << "PulseAudio cannot start here, so there is no device to test: "
                     << error.what();
    }
    server->exportToThisProcess();

    Attempt attempt;
    for (int i = 1; i <= kAttempts; ++i) {
        attempt = playClicks(*server);
        if (attempt.underruns == 0) {
            break;
        }
        std::cout << "attempt " << i << ": " << attempt.underruns
                  << " playback underruns, timing not usable\n";
    }
    ASSERT_EQ(attempt.underruns, 0U) << "the stream ran dry in every attempt";
    ASSERT_EQ(attempt.onsets.size(), static_cast<std::size_t>(kClicks))
        << "recorded " << attempt.frames << " frames";
    for (std::size_t i = 1; i < attempt.onsets.size(); ++i) {
        EXPECT_EQ(attempt.onsets[i] - attempt.onsets[i - 1], kPeriodFrames)
            << "between clicks " << i - 1 << " and " << i;
    }
    EXPECT_EQ(attempt.lateStarts, 0U);
    EXPECT_EQ(attempt.corrections, 0U) << "the sink runs on the monotonic clock: nothing to follow";
}

} // namespace
} // namespace metro::sound
