#include "metro/core/Transport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace metro::core;

namespace {

// A timer the test fires by hand; keeps every armed event so a stale one would show.
class ManualTimer final : public TimerService {
public:
    std::int32_t setEvent(std::int32_t periodMs, TimerProc proc) override {
        if (failNext || periodMs <= 0) {
            return 0;
        }
        const std::int32_t id = nextId++;
        armed[id] = Armed{periodMs, std::move(proc), 0};
        return id;
    }
    void killEvent(std::int32_t id) override { armed.erase(id); }
    // Fires every armed event once, as the next period comes round.
    void fire() {
        for (auto& [id, event] : armed) {
            ++event.calls;
            const TimePoint due{std::chrono::milliseconds(event.calls * event.periodMs)};
            event.proc(TimerCall{id, event.calls, due});
        }
    }
    struct Armed {
        std::int32_t periodMs;
        TimerProc proc;
        std::int64_t calls;
    };
    std::map<std::int32_t, Armed> armed;
    std::int32_t nextId = 1;
    bool failNext = false;
};

class FakeView final : public TransportView {
public:
    std::string tempoText() const override { return tempo; }
    void focusTempo() override { ++focusRequests; }
    void setPeriodCaption(std::string_view digits) override { label6 = digits; }
    void setButtonEnabled(TransportButton button, bool enabled) override {
        (button == TransportButton::Start ? startEnabled : stopEnabled) = enabled;
        log.push_back(std::string(button == TransportButton::Start ? "Command1" : "Command3") +
                      (enabled ? "+" : "-"));
    }
    void setFrameEnabled(SettingsFrame frame, bool enabled) override {
        log.push_back("Frame" + std::to_string(static_cast<int>(frame) + 1) +
                      (enabled ? "+" : "-"));
    }
    void setLampLit(int beat, bool lit) override {
        lamps.at(static_cast<std::size_t>(beat - 1)) = lit;
    }
    void reportError(std::string_view message) override { errors.emplace_back(message); }

    std::string tempo = "120";
    std::string label6 = "Label6";
    int focusRequests = 0;
    bool startEnabled = true;
    bool stopEnabled = false;
    std::array<bool, 4> lamps{};
    std::vector<std::string> log;
    std::vector<std::string> errors;
};

struct Recorder final : BeatPlayer, BeatDisplay {
    void play(const BeatCue& cue) noexcept override { cues.push_back(cue); }
    void showBeat(std::uint64_t, const std::array<bool, kBeatCount>&, TimePoint) noexcept override {
    }
    std::vector<BeatCue> cues;
};

class TransportTest : public ::testing::Test {
protected:
    TransportTest() {
        transport.attachView(view);
        transport.setFourFour(true);
        transport.setReady(true);
    }
    std::vector<int> slots() const {
        std::vector<int> out;
        for (const auto& cue : recorder.cues) {
            out.push_back(cue.slot);
        }
        return out;
    }
    bool running() const { return transport.state().IsRunning; }

    ManualTimer timer;
    Recorder recorder;
    FakeView view;
    Transport transport{timer, recorder, recorder};
};

} // namespace

TEST_F(TransportTest, StartAndStopSwapTheControlsAndTheTimerEvent) {
    transport.start();
    EXPECT_TRUE(running());
    EXPECT_EQ(view.label6, "500");
    ASSERT_EQ(timer.armed.size(), 1U);
    EXPECT_EQ(timer.armed.begin()->second.periodMs, 500);
    EXPECT_TRUE(recorder.cues.empty()) << "the first beat comes one period after Start";
    timer.fire();
    view.lamps = {true, false, false, false};
    transport.stop();
    EXPECT_FALSE(running());
    EXPECT_TRUE(timer.armed.empty());
    EXPECT_EQ(view.lamps, (std::array<bool, 4>{}));
    EXPECT_EQ(view.log, (std::vector<std::string>{"Command3+", "Command1-", "Frame1-", "Frame2-",
                                                  "Frame3-", "Command1+", "Command3-", "Frame1+",
                                                  "Frame2+", "Frame3+"}));
}

TEST_F(TransportTest, TicksPlayTheBarAndRestartAtBeatOneAfterStop) {
    transport.start();
    for (int i = 0; i < 6; ++i) {
        timer.fire();
    }
    transport.stop();
    transport.start();
    timer.fire();
    EXPECT_EQ(slots(), (std::vector<int>{1, 2, 3, 4, 1, 2, 1}));
    EXPECT_EQ(recorder.cues.back().scheduled, TimePoint{std::chrono::milliseconds(500)})
        << "second run's first beat is one period after its own Start";
    EXPECT_NE(recorder.cues.front().run, recorder.cues.back().run);
    EXPECT_NE(transport.run(), recorder.cues.front().run) << "lamps of the first run are stale";
}

TEST_F(TransportTest, ThreeFourRunsThreeBeatsAndSignatureIsLockedWhileRunning) {
    EXPECT_TRUE(transport.setFourFour(false));
    transport.start();
    EXPECT_FALSE(transport.setFourFour(true)) << "the tick owns the signature while running";
    for (int i = 0; i < 7; ++i) {
        timer.fire();
    }
    EXPECT_EQ(slots(), (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));
}

TEST_F(TransportTest, SpaceBarTogglesAndOtherKeysDoNothing) {
    transport.keyDown('A');
    transport.keyDown(13);
    EXPECT_FALSE(running());
    transport.keyDown(Transport::kSpaceKey);
    EXPECT_TRUE(running());
    transport.keyDown(Transport::kSpaceKey);
    EXPECT_FALSE(running());
    EXPECT_EQ(view.lamps, (std::array<bool, 4>{}));
    EXPECT_TRUE(timer.armed.empty());
}

TEST_F(TransportTest, TempoLimitsAndUnusableTextAreRefusedQuietly) {
    struct Case {
        const char* text;
        bool accepted;
    };
    for (const Case c :
         {Case{"400", true}, Case{"1", true}, Case{"401", false}, Case{"", false}, Case{"0", false},
          Case{"-60", false}, Case{"abc", false}, Case{"99999999999999999999", false}}) {
        view.tempo = c.text;
        view.focusRequests = 0;
        transport.start();
        EXPECT_EQ(running(), c.accepted) << c.text;
        EXPECT_EQ(view.focusRequests, c.accepted ? 0 : 1) << c.text;
        EXPECT_EQ(timer.armed.size(), c.accepted ? 1U : 0U) << c.text;
        EXPECT_TRUE(view.errors.empty());
        transport.stop();
    }
}

TEST_F(TransportTest, TimerThatCannotBeArmedLeavesTheWindowStopped) {
    timer.failNext = true;
    transport.start();
    EXPECT_FALSE(running());
    EXPECT_TRUE(view.startEnabled);
    EXPECT_FALSE(view.stopEnabled);
    EXPECT_EQ(view.errors.size(), 1U);
    timer.failNext = false;
    transport.start();
    EXPECT_TRUE(running());
}

TEST_F(TransportTest, NothingStartsBeforeTheVoicesAreLoaded) {
    transport.setReady(false);
    transport.start();
    transport.keyDown(Transport::kSpaceKey);
    EXPECT_FALSE(running());
    EXPECT_TRUE(timer.armed.empty());
}

TEST_F(TransportTest, LeavingTheTempoBoxKeepsThePeriodWhenTextIsUnusable) {
    transport.updatePeriod("60");
    EXPECT_EQ(transport.state().PeriodMs, 1000);
    transport.updatePeriod("");
    transport.updatePeriod("0");
    EXPECT_EQ(transport.state().PeriodMs, 1000);
    EXPECT_EQ(view.label6, "Label6") << "only Start writes the period caption";
}
