// Start and Stop hammered through the transport with the real beat timer and the real mixer,
// whose output an audio thread of the test pulls every 10 ms: Stop races the ticks, the voices
// are swapped between runs as a sound switch does, and the signature changes while stopped.
#include "metro/core/PeriodicTimer.h"
#include "metro/core/Transport.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/OfflineOutput.h"

#include "Fakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;

// A sanitizer reports a race the first time it happens, not only when it goes wrong: half the
// toggles do there.
#if defined(METRO_SANITIZED_BUILD)
constexpr int kCycles = 2500;
#else
constexpr int kCycles = 5000;
#endif

// Counts the beats and lamp states that arrive after Stop returned or from a run other than the
// live one, and slots the signature does not have. The live run is known once Start returned;
// on a loaded machine its first tick may come before that.
struct Watch final : core::BeatPlayer, core::BeatDisplay {
    explicit Watch(core::BeatPlayer& output) : sound(output) {}
    void play(const core::BeatCue& cue) noexcept override {
        faults += stale(cue.run) || cue.slot < 1 || cue.slot > lastSlot.load() ? 1 : 0;
        ++plays;
        sound.play(cue);
    }
    void showBeat(std::uint64_t run, const std::array<bool, core::kBeatCount>&,
                  core::TimePoint) noexcept override {
        faults += stale(run) ? 1 : 0;
    }
    bool stale(std::uint64_t run) const {
        const std::uint64_t live = liveRun.load();
        return stopped.load() || (live != 0 && run != live);
    }
    core::BeatPlayer& sound;
    std::atomic<std::uint64_t> liveRun{0};
    std::atomic<bool> stopped{true};
    std::atomic<int> lastSlot{4};
    std::atomic<int> faults{0};
    std::atomic<int> plays{0};
};

// Pulls the output as a device would and counts, per channel, the buffers that sound, and those
// that sound on a channel whose voices were released (from the second buffer after the release:
// the one in progress may predate it).
struct AudioThread {
    explicit AudioThread(OfflineOutput& out) : output(out) {}
    /// Forbids sound on `channel` once the voices released before this call have faded. One
    /// word holds the channel and the first pull it applies to, so the two change together.
    void forbid(int channel) { rule = (std::uint64_t(channel) + 1) << 48U | (pulls.load() + 2); }
    void run(const std::stop_token& stop) {
        for (auto next = core::Clock::now(); !stop.stop_requested(); next += 10ms) {
            std::this_thread::sleep_until(next);
            output.pull(core::Clock::now());
            const std::uint64_t forbidden = rule.load();
            const std::vector<float>& recording = output.recording();
            for (std::size_t channel = 0; channel < 2; ++channel) {
                bool sounding = false;
                for (auto i = recording.size() - 2 * 480 + channel; i < recording.size(); i += 2) {
                    sounding = sounding || recording[i] != 0.0F;
                }
                sounded.at(channel) += sounding ? 1 : 0;
                released += sounding && forbidden >> 48U == channel + 1 &&
                                    pulls.load() >= (forbidden & 0xFFFF'FFFF'FFFFULL)
                                ? 1
                                : 0;
            }
            ++pulls;
        }
    }

    OfflineOutput& output;
    std::atomic<std::uint64_t> pulls{0};
    std::atomic<std::uint64_t> rule{0};
    std::atomic<int> released{0};
    std::array<std::atomic<int>, 2> sounded{};
    std::jthread thread{[this](const std::stop_token& stop) { run(stop); }};
};

// Ten thousand toggles at 400 BPM (150 ms), half under a sanitizer: most Stops come at once; every
// 100th run is stopped within 3 ms of its first tick, and as many while its first beat sounds,
// their voices then swapped for the other channel's sound. Those stopped at the tick, and every
// 7th, reload the voices; the signature changes between runs.
TEST(TransportStress, TenThousandTogglesRaceTheTicksWithTheRealTimerAndMixer) {
    auto owned = std::make_unique<OfflineOutput>(48000, 480);
    OfflineOutput& output = *owned;
    EngineSoundService sound(std::move(owned));
    sound.open();
    // A 50 ms tone on one channel only, so the recording tells which sound played.
    const std::vector<float> tone(2400, 0.5F);
    const std::vector<float> quiet(2400, 0.0F);
    int channel = 0;
    const auto load = [&] {
        for (int slot = 1; slot <= 4; ++slot) {
            sound.createVoice(slot, channel == 0 ? testsupport::MakeSound(tone, quiet)
                                                 : testsupport::MakeSound(quiet, tone));
        }
    };
    load();
    core::PeriodicTimer timer;
    Watch watch(sound);
    testsupport::FakeView view(400);
    {
        AudioThread audio(output);
        core::Transport transport(timer, watch, watch);
        transport.attachView(view);
        transport.setReady(true);
        std::mt19937 random(17);
        std::uniform_int_distribution<int> aroundTick(-3000, 3000); // us
        // The first beat sounds from 210 to 260 ms (its tick plus the mixer's latency).
        std::uniform_int_distribution<int> whileSounding(215, 255); // ms
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            ASSERT_TRUE(transport.setFourFour(cycle % 3 != 0));
            watch.lastSlot = cycle % 3 != 0 ? 4 : 3;
            watch.stopped = false;
            transport.keyDown(core::Transport::kSpaceKey);
            ASSERT_TRUE(transport.state().IsRunning);
            watch.liveRun = transport.run();
            if (cycle % 100 == 0) {
                std::this_thread::sleep_for(150ms + std::chrono::microseconds(aroundTick(random)));
            } else if (cycle % 100 == 50) {
                std::this_thread::sleep_for(std::chrono::milliseconds(whileSounding(random)));
            }
            transport.keyDown(core::Transport::kSpaceKey);
            watch.stopped = true; // any beat or lamp from now on belongs to a stopped run
            watch.liveRun = 0;
            if (cycle % 100 == 50 || cycle % 100 == 0 || cycle % 7 == 0) {
                for (int slot = 0; slot <= 4; ++slot) {
                    sound.releaseVoice(slot);
                }
                if (cycle % 100 == 50) { // 150 ms or more apart: longer than a voice sounds
                    audio.forbid(channel);
                    channel = 1 - channel;
                }
                load();
            }
        }
        std::this_thread::sleep_for(200ms); // the last beats' sound has played out
        EXPECT_EQ(audio.released.load(), 0) << "a released voice sounded";
        EXPECT_TRUE(audio.sounded[0] > 0 && audio.sounded[1] > 0) << "both sounds played";
    }
    sound.close();
    EXPECT_GE(watch.plays.load(), 20) << "some Stops must have come after a tick";
    EXPECT_EQ(watch.faults.load(), 0) << "a beat or lamp after Stop, or slot 4 in 3/4";
    EXPECT_TRUE(view.errors.empty());
}

} // namespace
} // namespace metro::sound
