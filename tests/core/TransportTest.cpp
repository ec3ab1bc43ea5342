#include "metro/core/Transport.h"

#include "Fakes.h"

#include <gtest/gtest.h>

using namespace metro::core;
using metro::testsupport::FakeView;
using metro::testsupport::ManualTimer;

namespace {

struct Recorder final : BeatPlayer, BeatDisplay {
    void play(const BeatCue& cue) noexcept override { cues.push_back(cue); }
    void showBeat(std::uint64_t run, const std::array<bool, kBeatCount>&,
                  TimePoint) noexcept override {
        lampRuns.push_back(run);
    }
    std::vector<int> slots() const {
        std::vector<int> out;
        for (const auto& cue : cues) {
            out.push_back(cue.slot);
        }
        return out;
    }
    std::vector<BeatCue> cues;
    std::vector<std::uint64_t> lampRuns;
};

class TransportTest : public ::testing::Test {
protected:
    TransportTest() {
        transport.attachView(view);
        transport.setFourFour(true);
        transport.setReady(true);
    }
    bool running() const { return transport.state().IsRunning; }

    ManualTimer timer;
    Recorder beats;
    FakeView view;
    Transport transport{timer, beats, beats};
};

// A new run starts at beat 1 whatever beat the last one stopped on, and under a run number of
// its own, so that the lamps of the old run are stale.
TEST_F(TransportTest, TicksPlayTheBarAndRestartAtBeatOneAfterStop) {
    transport.start();
    for (int i = 0; i < 6; ++i) {
        timer.fire();
    }
    transport.stop();
    transport.start();
    timer.fire();
    EXPECT_EQ(beats.slots(), (std::vector<int>{1, 2, 3, 4, 1, 2, 1}));
    EXPECT_NE(beats.cues.front().run, beats.cues.back().run);
    EXPECT_EQ(beats.lampRuns.back(), beats.cues.back().run);
    EXPECT_NE(transport.run(), beats.cues.front().run) << "lamps of the first run are stale";
}

TEST_F(TransportTest, TimerThatCannotBeArmedLeavesTheWindowStopped) {
    timer.failNext = true;
    transport.start();
    EXPECT_FALSE(running());
    EXPECT_EQ(view.changes, 0) << "the controls stay as they were";
    EXPECT_EQ(view.errors.size(), 1U);
    timer.failNext = false;
    transport.start();
    EXPECT_TRUE(running());
}

} // namespace
