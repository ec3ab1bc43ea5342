#include "MixerTestSupport.h"

#include "metro/sound/Level.h"
#include "metro/sound/Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace metro::sound::test {
namespace {

constexpr int kRate = 48000;

/// A mixer on a jitter-free output, so a beat can be aimed at an exact frame.
struct Rig {
    explicit Rig(std::size_t bufferFrames = 480)
        : mixer(kRate, kLatency), output(mixer, {.bufferFrames = bufferFrames}) {}

    /// Queues a beat on `slot` that must start on frame `frame`, as a run of its own.
    void playAt(int slot, std::int64_t frame) {
        const auto offset = Nanos(std::llround(static_cast<double>(frame) * 1e9 / kRate));
        mixer.schedule(core::BeatCue{slot, output.origin() + offset - kLatency, ++run});
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
        rig.mixer.setVoice(slot, MakeSound(kRate, std::vector<float>(4000, 0.4F)));
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
    rig.mixer.setVoice(1, MakeSound(kRate, std::vector<float>(48000, 0.5F)));
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
    const auto sine = Sine(kRate, 1000.0, 0.8F, 24000);
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
    auto first = Sine(kRate, 1000.0, 0.8F, 48000);
    std::weak_ptr<const SampleSet> watch = first;
    rig.mixer.setVoice(1, std::move(first));
    rig.playAt(1, 0);
    rig.render(4);
    rig.mixer.setVoice(1, Impulse(kRate));
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
    auto second = MakeSound(kRate, std::vector<float>(48000, 0.125F));
    watch = second;
    rig.mixer.setVoice(1, std::move(second));
    rig.mixer.setVoice(1, MakeSound(kRate, std::vector<float>(48000, 0.75F)));
    EXPECT_TRUE(watch.expired());
    rig.playAt(1, rig.output.framesRendered() + 2000);
    const auto& left = rig.render(200);
    EXPECT_EQ(left[left.size() - 3200 + 1999], 0.0F);
    EXPECT_FLOAT_EQ(left[left.size() - 3200 + 2100], 0.75F) << "the new sound on its frame";
    EXPECT_EQ(rig.mixer.lateStarts(), 0U);
}

} // namespace
} // namespace metro::sound::test
