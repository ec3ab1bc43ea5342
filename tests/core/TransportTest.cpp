#include "metro/core/Transport.h"

#include "Fakes.h"

#include <gtest/gtest.h>

using namespace metro::core;
using metro::testsupport::FakeView;
using metro::testsupport::Log;
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

} // namespace

// Only the space bar toggles; Start arms one event at the tempo's period and locks the settings,
// Stop kills it, unlights the lamps and unlocks them.
TEST_F(TransportTest, SpaceBarStartsAndStopsSwappingTheControlsAndTheTimerEvent) {
    transport.keyDown('A');
    EXPECT_FALSE(running());
    transport.keyDown(Transport::kSpaceKey);
    EXPECT_TRUE(running());
    EXPECT_EQ(view.caption, "500");
    EXPECT_EQ(timer.periods, std::vector<std::int32_t>{500});
    EXPECT_TRUE(beats.cues.empty()) << "the first beat comes with the first timer call";
    timer.fire();
    view.lamps = {true, false, false, false};
    transport.keyDown(Transport::kSpaceKey);
    EXPECT_FALSE(running());
    EXPECT_TRUE(timer.armed.empty());
    EXPECT_EQ(view.lamps, (std::array<bool, 4>{}));
    EXPECT_EQ(view.log, (Log{"Command3+", "Command1-", "Frame1-", "Frame2-", "Frame3-", "Command1+",
                             "Command3-", "Frame1+", "Frame2+", "Frame3+"}));
}

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

TEST_F(TransportTest, ThreeFourRunsThreeBeatsAndSignatureIsLockedWhileRunning) {
    EXPECT_TRUE(transport.setFourFour(false));
    transport.start();
    EXPECT_FALSE(transport.setFourFour(true)) << "the tick owns the signature while running";
    for (int i = 0; i < 7; ++i) {
        timer.fire();
    }
    EXPECT_EQ(beats.slots(), (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));
}

// A tempo Start cannot play gives the tempo box the focus, and no message.
TEST_F(TransportTest, TempoOutsideOneToFourHundredIsRefusedQuietly) {
    for (const auto& [text, accepted] :
         std::vector<std::pair<std::string, bool>>{{"400", true},
                                                   {"1", true},
                                                   {"401", false},
                                                   {"", false},
                                                   {"0", false},
                                                   {"-60", false},
                                                   {"99999999999999999999", false}}) {
        view.tempo = text;
        view.focusRequests = 0;
        transport.start();
        EXPECT_EQ(running(), accepted) << text;
        EXPECT_EQ(view.focusRequests, accepted ? 0 : 1) << text;
        EXPECT_EQ(timer.armed.size(), accepted ? 1U : 0U) << text;
        transport.stop();
    }
    EXPECT_TRUE(view.errors.empty());
}

TEST_F(TransportTest, TimerThatCannotBeArmedLeavesTheWindowStopped) {
    timer.failNext = true;
    transport.start();
    EXPECT_FALSE(running());
    EXPECT_TRUE(view.log.empty()) << "the controls stay as they were";
    EXPECT_EQ(view.errors.size(), 1U);
    timer.failNext = false;
    transport.start();
    EXPECT_TRUE(running());
}
