// The beat on a machine whose cores are all busy: the program's beat path (transport, periodic
// timer, sound service, SDL2) plays at 400 BPM for a minute into a private PulseAudio null sink
// while busy-loop processes at normal priority keep every core saturated.
#include "metro/core/PeriodicTimer.h"
#include "metro/core/Transport.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/VoiceBank.h"

#include "ChildProcess.h"
#include "FixedTempoView.h"
#include "Onsets.h"
#include "PulseServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

constexpr std::int64_t kPeriodFrames = 7200; // 150 ms at 48 kHz

struct CountingPlayer final : core::BeatPlayer, core::BeatDisplay {
    explicit CountingPlayer(core::BeatPlayer& output) : sound(output) {}
    void play(const core::BeatCue& cue) noexcept override {
        sound.play(cue);
        ++beats;
    }
    void showBeat(std::uint64_t, const std::array<bool, core::kBeatCount>&,
                  core::TimePoint) noexcept override {}
    core::BeatPlayer& sound;
    std::atomic<std::size_t> beats{0};
};

TEST(SaturatedMachine, NoBeatIsMissingInAMinuteAt400BpmWithEveryCoreBusy) {
    std::unique_ptr<testsupport::PulseServer> server;
    try {
        server = std::make_unique<testsupport::PulseServer>(48000);
    } catch (const testsupport::PulseUnavailable& error) {
        GTEST_SKIP() << "PulseAudio cannot start here: " << error.what();
    }
    server->exportToThisProcess();
    EngineSoundService sound(std::make_unique<DeviceOutput>());
    sound.open();
    VoiceBank bank(sound);
    bank.SETIT(); // every slot at full level: each click's onset on the same frame
    std::this_thread::sleep_for(1500ms); // the stream runs a while before Start, as in the program
    testsupport::MonitorRecording recording(*server);

    std::vector<std::unique_ptr<ChildProcess>> hogs;
    for (unsigned i = 0; i < std::max(2U, std::thread::hardware_concurrency()); ++i) {
        hogs.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c", "while :; do :; done"}, std::vector<std::string>{},
            "/dev/null"));
    }
    core::PeriodicTimer timer;
    CountingPlayer player(sound);
    testsupport::FixedTempoView view(400);
    {
        core::Transport transport(timer, player, player);
        transport.attachView(view);
        transport.setReady(true);
        transport.setFourFour(true);
        transport.start();
        std::this_thread::sleep_for(60s);
        transport.stop();
    }
    EXPECT_TRUE(view.errors.empty());
    hogs.clear();
    std::this_thread::sleep_for(sound.outputLatency() + 300ms);
    const auto onsets = testsupport::FindOnsets(recording.stop(), 2);

    std::map<std::int64_t, std::size_t> intervals;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        ++intervals[onsets[i] - onsets[i - 1]];
    }
    std::cout << player.beats << " beats, " << onsets.size() << " onsets, " << timer.droppedCalls()
              << " dropped ticks, " << sound.mixer()->lateStarts() << " late starts, "
              << recording.playbackUnderruns() << " underruns; intervals:";
    for (const auto& [frames, count] : intervals) {
        std::cout << " " << frames << "x" << count;
    }
    std::cout << " (exact: " << intervals[kPeriodFrames] << " of "
              << (onsets.empty() ? 0 : onsets.size() - 1) << ")\n";
    EXPECT_EQ(timer.droppedCalls(), 0);
    EXPECT_GE(player.beats.load(), 399U);
    EXPECT_EQ(onsets.size(), player.beats.load()) << "a beat is missing, or one too many";
    const auto gap = std::find_if(intervals.begin(), intervals.end(), [](const auto& entry) {
        return entry.first > kPeriodFrames * 3 / 2 || entry.first < kPeriodFrames / 2;
    });
    EXPECT_EQ(gap, intervals.end()) << "an interval of " << gap->first << " frames";
}

} // namespace
} // namespace metro::sound
