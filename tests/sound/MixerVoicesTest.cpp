// The mixer's voices and levels on an output without jitter, so that a beat can be aimed at an
// exact frame; what the audio thread may not do (allocate, start a beat before its buffer); and
// the sound service dropping beats while its device is lost.
#include "MixerTestSupport.h"

#include "metro/sound/EngineSoundService.h"
#include "metro/sound/Level.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>

// Every allocation and free of this test program is counted per thread, so a test can check
// that a stretch of code allocated nothing. (The library's other operator new and delete forms
// forward to these.)
namespace {
thread_local std::uint64_t t_allocations = 0;
} // namespace

void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* pointer = std::malloc(size == 0 ? 1 : size)) {
        return pointer;
    }
    throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept {
    t_allocations += pointer != nullptr ? 1 : 0;
    std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    operator delete(pointer);
}

namespace metro::sound::test {
namespace {

/// A mixer on a jitter-free output, so a beat can be aimed at an exact frame.
struct Rig {
    explicit Rig(std::size_t bufferFrames = 480)
        : mixer(kRate, kLatency), output(mixer, {.bufferFrames = bufferFrames}) {}

    /// Queues a beat on `slot` that must start on frame `frame`, as a run of its own.
    void playAt(int slot, std::int64_t frame) {
        const auto offset = Nanos(std::llround(static_cast<double>(frame) * 1e9 / kRate));
        mixer.schedule(core::BeatCue{slot, output.origin + offset - kLatency, ++run});
    }
    /// Renders `buffers` buffers and appends their left channel to `left`.
    std::vector<float>& render(int buffers) {
        for (int i = 0; i < buffers; ++i) {
            const auto stereo = output.render(output.nextCallbackTime());
            for (std::size_t f = 0; f < stereo.size(); f += 2) {
                left.push_back(stereo[f]);
            }
        }
        return left;
    }
    float largestStep(std::size_t from, std::size_t count) const {
        float largest = 0.0F;
        for (std::size_t i = from + 1; i < std::min(from + count, left.size()); ++i) {
            largest = std::max(largest, std::fabs(left[i] - left[i - 1]));
        }
        return largest;
    }

    Mixer mixer;
    SimulatedOutput output;
    std::vector<float> left;
    std::uint64_t run = 0;
};

TEST(MixerLevels, SlotsMixAtTheirOwnLevelsClampedToFullScale) {
    Rig rig;
    const Level levels[] = {0, -400, -2000, kSilentLevel};
    for (int slot = 1; slot <= 4; ++slot) {
        rig.mixer.setVoice(slot, MakeSound(std::vector<float>(4000, 0.4F)));
        rig.mixer.setLevel(slot, levels[slot - 1]);
        rig.playAt(slot, 1000 + 5000 * (slot - 1)); // beats come in time order, as from the timer
    }
    for (int slot = 1; slot <= 4; ++slot) {
        rig.playAt(slot, 21000);
    }
    rig.render(60);
    rig.mixer.setLevel(4, 0);
    rig.playAt(1, 30000);
    rig.playAt(2, 30000);
    rig.playAt(4, 30000);
    const auto& left = rig.render(10);

    EXPECT_EQ(left[999], 0.0F);
    EXPECT_FLOAT_EQ(left[4999], 0.4F) << "a voice plays its whole sound";
    EXPECT_EQ(left[5000], 0.0F);
    EXPECT_NEAR(left[8000] / 0.4F, 0.631, 0.001); // -400: 4 dB down
    EXPECT_FLOAT_EQ(left[13000] / 0.4F, 0.1F);    // -2000: 20 dB down
    EXPECT_TRUE(
        std::all_of(left.begin() + 15000, left.begin() + 21000, [](float s) { return s == 0.0F; }));
    EXPECT_NEAR(left[23000], 0.4 * (1.0 + std::pow(10.0, -0.2) + 0.1), 1e-5);
    EXPECT_EQ(left[30500], 1.0F) << "0.4 + 0.25 + 0.4 clamped";
}

TEST(MixerLevels, LevelChangeRampsAcrossOneBuffer) {
    Rig rig;
    rig.mixer.setVoice(1, MakeSound(std::vector<float>(48000, 0.5F)));
    rig.playAt(1, 0);
    rig.render(2);
    rig.mixer.setLevel(1, -2000);
    const auto& left = rig.render(2);
    EXPECT_LT(left[960], 0.5F) << "starts moving at once";
    EXPECT_NEAR(left[1439], 0.05F, 1e-6) << "there within one buffer";
    EXPECT_TRUE(std::is_sorted(left.rbegin(), left.rend())) << "falls steadily";
    EXPECT_LE(rig.largestStep(0, left.size()), 0.45F / 480 * 1.01F) << "no jump";
    EXPECT_NEAR(*std::max_element(left.begin() + 1440, left.end()), 0.05F, 1e-6);
}

TEST(MixerVoices, RestartAndEmptiedSlotFadeInsteadOfClicking) {
    Rig rig;
    const auto sine = Sine(1000.0, 0.8F, 24000);
    rig.mixer.setVoice(1, sine);
    rig.playAt(1, 1000);
    rig.playAt(1, 2020); // the old sound is at its peak there
    rig.render(20);
    // A 1 kHz sine at 0.8 moves at most 0.105 per frame, two cross-fading at most 0.15; a cut
    // would jump by 0.8.
    EXPECT_LT(rig.largestStep(2010, 20), 0.11F);
    EXPECT_LT(rig.largestStep(990, 5000), 0.15F);
    EXPECT_NEAR(rig.left[3020], sine->samples[2000], 1e-6) << "plays again from its start";

    rig.mixer.setVoice(1, nullptr);
    const auto& left = rig.render(2);
    EXPECT_LT(rig.largestStep(9000, 2000), 0.12F);
    EXPECT_NE(left[9610], 0.0F) << "fades rather than cuts";
    EXPECT_TRUE(std::all_of(left.begin() + 9696, left.end(), [](float s) { return s == 0.0F; }))
        << "gone within 2 ms";
}

TEST(MixerVoices, ReplacedSoundLivesWhileAVoiceStillPlaysItOrTheOutputRuns) {
    Rig rig(16); // buffers shorter than the fade, so the fade spans several renders
    auto first = Sine(1000.0, 0.8F, 48000);
    std::weak_ptr<const SampleSet> watch = first;
    rig.mixer.setVoice(1, std::move(first));
    rig.playAt(1, 0);
    rig.render(4);
    rig.mixer.setVoice(1, Impulse());
    for (int i = 0; i < 3; ++i) {
        rig.mixer.collectGarbage();
        EXPECT_FALSE(watch.expired()) << "freed while a voice plays it";
        EXPECT_NE(rig.render(1).back(), 0.0F) << "still fading";
    }
    rig.render(4);
    rig.mixer.collectGarbage();
    EXPECT_TRUE(watch.expired());

    // Once the output has stopped no voice can hold a sound: it goes at once.
    rig.mixer.outputStopped();
    auto second = MakeSound(std::vector<float>(48000, 0.125F));
    watch = second;
    rig.mixer.setVoice(1, std::move(second));
    rig.mixer.setVoice(1, MakeSound(std::vector<float>(48000, 0.75F)));
    EXPECT_TRUE(watch.expired());
    rig.playAt(1, rig.output.framesRendered() + 2000);
    const auto& left = rig.render(200);
    EXPECT_EQ(left[left.size() - 3200 + 1999], 0.0F);
    EXPECT_FLOAT_EQ(left[left.size() - 3200 + 2100], 0.75F) << "the new sound on its frame";
    EXPECT_EQ(rig.mixer.lateStarts(), 0U);
}

TEST(MixerRealtime, RenderScheduleAndLevelsAllocateNothing) {
    {
        const std::uint64_t before = t_allocations;
        const auto probe = std::make_unique<int>(1);
        ASSERT_GT(t_allocations, before) << "the counter must see allocations";
    }
    Mixer mixer(kRate, kLatency);
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Sine(440.0 * slot, 0.5F, 9000));
    }
    SimulatedOutput output(mixer, {.callbackJitter = 2ms});
    const std::uint64_t allocations = t_allocations;
    for (int i = 0; i < 5000; ++i) {
        const TimePoint now = output.nextCallbackTime();
        if (i % 9 == 0) {
            const auto late = i % 27 == 0 ? 100ms : 0ms; // some arrive after their frame
            mixer.schedule(
                core::BeatCue{i % 4 + 1, now - late, static_cast<std::uint64_t>(i / 200)});
        }
        if (i % 7 == 0) {
            mixer.setLevel(i % 4 + 1, -(i % 3000));
        }
        output.render(now);
    }
    EXPECT_EQ(t_allocations - allocations, 0U) << "allocations and frees";
    EXPECT_GT(mixer.skippedCues(), 0U) << "the path that drops past beats ran too";
}

// A beat whose frame has passed when it arrives is dropped, not played late (it would sound
// closer to the next beat than the period).
TEST(MixerRealtime, FullQueueDropsAndBeatsWhoseFrameHasPassedAreNotPlayed) {
    Mixer mixer(kRate, 5ms);
    mixer.setVoice(2, Impulse());
    SimulatedOutput output(mixer, {});
    output.render(output.nextCallbackTime());
    // Scheduled 30 ms ago with a 5 ms latency: its frame has passed by the time it arrives.
    const TimePoint now = output.nextCallbackTime();
    int accepted = 0;
    for (int i = 0; i < 100; ++i) {
        accepted += mixer.schedule(core::BeatCue{2, now - 30ms, 1}) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 63);
    EXPECT_EQ(mixer.droppedCues(), 37U);
    OnsetFinder finder;
    const std::int64_t bufferStart = output.framesRendered();
    finder.scan(output.render(now), bufferStart);
    EXPECT_EQ(finder.onsets, std::vector<std::int64_t>{});
    EXPECT_EQ(mixer.skippedCues(), 63U);
    EXPECT_TRUE(mixer.schedule(core::BeatCue{2, now, 1})) << "the render drained the queue";
}

// While the device is lost a beat is dropped, not queued to sound late once it is back.
TEST(EngineSoundService, DropsBeatsWhileTheOutputIsLost) {
    struct LosableOutput final : AudioOutput {
        void open(AudioSource& feed) override { source = &feed; }
        void close() override {}
        int sampleRate() const override { return kRate; }
        std::size_t bufferFrames() const override { return 480; }
        bool available() const noexcept override { return up; }
        AudioSource* source = nullptr;
        bool up = false;
    };
    auto owned = std::make_unique<LosableOutput>();
    LosableOutput& output = *owned;
    EngineSoundService sound(std::move(owned));
    sound.open();
    sound.createVoice(1, Impulse());
    const TimePoint start = core::Clock::now();
    sound.play(core::BeatCue{1, start, 1});
    output.up = true;
    sound.play(core::BeatCue{1, start + 200ms, 1});
    OnsetFinder finder;
    std::vector<float> buffer(2 * 480);
    for (int k = 0; k < 50; ++k) {
        output.source->render(buffer.data(), 480, start + 10ms * k);
        finder.scan(buffer, 480 * k);
    }
    EXPECT_EQ(finder.onsets.size(), 1U) << "only the beat played while the device was there";
    EXPECT_EQ(sound.droppedWithoutOutput(), 1U);
}

} // namespace
} // namespace metro::sound::test
