// Start and Stop hammered through the transport with the real beat timer and the real mixer,
// whose output is pulled by an audio thread of the test: Stop races the ticks, the voices are
// swapped between runs as a sound switch does, and the signature changes while stopped.
#include "metro/core/PeriodicTimer.h"
#include "metro/core/Transport.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/OfflineOutput.h"

#include "Fakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;

constexpr int kRate = 48000;
constexpr std::size_t kBufferFrames = 480;

// Sits between the transport and the sound and lamps, and notices any beat or lamp state that
// arrives while no run is live (after Stop returned), or a slot the signature does not have.
struct Watch final : core::BeatPlayer, core::BeatDisplay {
    explicit Watch(core::BeatPlayer& output) : sound(output) {}
    void play(const core::BeatCue& cue) noexcept override {
        stalePlays += stale(cue.run) ? 1 : 0;
        badSlots += cue.slot < 1 || cue.slot > lastSlot.load() ? 1 : 0;
        ++plays;
        sound.play(cue);
    }
    void showBeat(std::uint64_t run, const std::array<bool, core::kBeatCount>&,
                  core::TimePoint) noexcept override {
        staleLamps += stale(run) ? 1 : 0;
    }
    // After Stop returned, anything is stale; while running, anything from another run. The live
    // run's number is known only once Start returned, and on a loaded machine its first tick may
    // come before that.
    bool stale(std::uint64_t run) const {
        const std::uint64_t live = liveRun.load();
        return stopped.load() || (live != 0 && run != live);
    }
    core::BeatPlayer& sound;
    std::atomic<std::uint64_t> liveRun{0};
    std::atomic<bool> stopped{true};
    std::atomic<int> lastSlot{4};
    std::atomic<int> stalePlays{0}, staleLamps{0}, badSlots{0}, plays{0};
};

// A 50 ms tone on one channel only, so the recording tells which sound played.
std::shared_ptr<const SampleSet> oneSided(int channel) {
    auto sound = std::make_shared<SampleSet>();
    sound->name = channel == 0 ? "left" : "right";
    sound->sampleRate = kRate;
    sound->samples.assign(2 * kRate / 20, 0.0F);
    for (std::size_t i = static_cast<std::size_t>(channel); i < sound->samples.size(); i += 2) {
        sound->samples[i] = 0.5F;
    }
    return sound;
}

// Pulls the offline output every 10 ms, as a device would, and checks each buffer: the channel
// of released voices must be silent from the second buffer after their release on.
class AudioThread {
public:
    explicit AudioThread(OfflineOutput& output) : m_output(output), m_thread([this] { run(); }) {}
    ~AudioThread() {
        m_done = true;
        m_thread.join();
    }
    /// Forbids sound on `channel` once the voices released before this call have faded.
    void forbid(int channel) {
        // The buffer in progress may predate the release; the next one fades it out.
        m_forbidden = (static_cast<std::uint64_t>(channel + 1) << 48) | (m_pulls.load() + 2);
    }
    std::atomic<int> releasedPlays{0};
    std::array<std::atomic<int>, 2> soundingBuffers{};

private:
    void run() {
        for (auto next = core::Clock::now(); !m_done; next += 10ms) {
            std::this_thread::sleep_until(next);
            m_output.pull(core::Clock::now());
            const std::uint64_t forbidden = m_forbidden.load();
            const auto& recording = m_output.recording();
            std::array<bool, 2> sounding{};
            for (auto i = recording.size() - 2 * kBufferFrames; i < recording.size(); ++i) {
                sounding.at(i % 2) = sounding.at(i % 2) || recording[i] != 0.0F;
            }
            for (std::size_t channel = 0; channel < 2; ++channel) {
                soundingBuffers.at(channel) += sounding.at(channel) ? 1 : 0;
                const bool silenced = (forbidden >> 48) == channel + 1 &&
                                      m_pulls.load() >= (forbidden & 0xFFFF'FFFF'FFFFULL);
                releasedPlays += silenced && sounding.at(channel) ? 1 : 0;
            }
            ++m_pulls;
        }
    }

    OfflineOutput& m_output;
    std::atomic<bool> m_done{false};
    std::atomic<std::uint64_t> m_pulls{0};
    std::atomic<std::uint64_t> m_forbidden{0};
    std::thread m_thread;
};

// Ten thousand toggles at 400 BPM (150 ms): most Stops come at once; every 100th run is stopped
// within 3 ms of its first tick, and as many while its first beat sounds, their voices then
// swapped for the other channel's sound. Those stopped at the tick, and every 7th, reload the
// voices; the signature changes between runs.
TEST(TransportStress, TenThousandTogglesRaceTheTicksWithTheRealTimerAndMixer) {
    auto owned = std::make_unique<OfflineOutput>(kRate, kBufferFrames);
    OfflineOutput& output = *owned;
    EngineSoundService sound(std::move(owned));
    sound.open();
    int channel = 0;
    for (int slot = 1; slot <= 4; ++slot) {
        sound.createVoice(slot, oneSided(channel));
    }
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
        for (int cycle = 0; cycle < 5000; ++cycle) {
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
            const bool swap = cycle % 100 == 50;
            if (swap || cycle % 100 == 0 || cycle % 7 == 0) {
                for (int slot = 0; slot <= 4; ++slot) {
                    sound.releaseVoice(slot);
                }
                if (swap) { // 150 ms or more apart: longer than a released voice could sound
                    audio.forbid(channel);
                    channel = 1 - channel;
                }
                for (int slot = 1; slot <= 4; ++slot) {
                    sound.createVoice(slot, oneSided(channel));
                }
            }
        }
        std::this_thread::sleep_for(200ms); // the last beats' sound has played out
        EXPECT_EQ(audio.releasedPlays.load(), 0) << "a released voice sounded";
        EXPECT_GT(audio.soundingBuffers[0].load(), 0);
        EXPECT_GT(audio.soundingBuffers[1].load(), 0);
    }
    sound.close();
    EXPECT_GE(watch.plays.load(), 20) << "some Stops must have come after a tick";
    EXPECT_EQ(watch.stalePlays.load(), 0);
    EXPECT_EQ(watch.staleLamps.load(), 0) << "a lamp was lit after Stop";
    EXPECT_EQ(watch.badSlots.load(), 0) << "3/4 never plays slot 4";
    EXPECT_TRUE(view.errors.empty());
}

} // namespace
} // namespace metro::sound
