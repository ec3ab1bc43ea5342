#include "MixerTestSupport.h"

#include "metro/sound/Level.h"
#include "metro/sound/Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <span>

namespace metro::sound::test {
namespace {

constexpr int kRate = 48000;

/// A mixer on a jitter-free simulated output, so a beat can be aimed at an exact frame.
class Rig {
public:
    explicit Rig(std::size_t bufferFrames = 480)
        : mixer(kRate, kLatency), output(mixer, {.rate = kRate, .bufferFrames = bufferFrames}) {}

    /// Queues a beat on `slot` that must start on output frame `frame`, as a run of its own.
    void playAt(int slot, std::int64_t frame) {
        const auto offset = Nanos(std::llround(static_cast<double>(frame) * 1e9 / kRate));
        mixer.schedule(core::BeatCue{slot, output.origin() + offset - kLatency, ++m_run});
    }
    /// Renders `buffers` buffers and returns their left channel.
    std::vector<float> render(int buffers) {
        std::vector<float> left;
        for (int i = 0; i < buffers; ++i) {
            const auto stereo = output.render(output.drawCallbackTime());
            for (std::size_t f = 0; f < stereo.size(); f += 2) {
                left.push_back(stereo[f]);
            }
        }
        return left;
    }

    Mixer mixer;
    SimulatedOutput output;

private:
    std::uint64_t m_run = 0;
};

float LargestStep(std::span<const float> samples) {
    float largest = 0.0F;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        largest = std::max(largest, std::fabs(samples[i] - samples[i - 1]));
    }
    return largest;
}

TEST(MixerLevels, SlotsPlayIndependentlyAtTheirOwnLevels) {
    Rig rig;
    const Level levels[] = {0, -400, -2000, -10000};
    for (int slot = 1; slot <= 4; ++slot) {
        rig.mixer.setVoice(slot, Constant(kRate, 0.4F, 4000));
        rig.mixer.setLevel(slot, levels[slot - 1]);
    }
    for (int slot = 1; slot <= 4; ++slot) {
        rig.playAt(slot, 1000 + 5000 * (slot - 1));
    }
    for (int slot = 1; slot <= 4; ++slot) {
        rig.playAt(slot, 21000);
    }
    const auto left = rig.render(60);

    EXPECT_EQ(left[999], 0.0F);
    EXPECT_FLOAT_EQ(left[1000], 0.4F);
    EXPECT_FLOAT_EQ(left[4999], 0.4F) << "a voice plays its whole sound";
    EXPECT_EQ(left[5000], 0.0F);
    EXPECT_NEAR(left[8000] / 0.4F, 0.631, 0.001); // -400: 4 dB down
    EXPECT_FLOAT_EQ(left[13000] / 0.4F, 0.1F);    // -2000: 20 dB down
    EXPECT_TRUE(std::all_of(left.begin() + 15000, left.begin() + 21000, [](float sample) {
        return sample == 0.0F;
    })) << "-10000 is silence";
    EXPECT_NEAR(left[23000], 0.4 * (1.0 + std::pow(10.0, -0.2) + 0.1), 1e-5);
}

TEST(MixerLevels, LevelChangeRampsAcrossOneBuffer) {
    Rig rig;
    rig.mixer.setVoice(1, Constant(kRate, 0.5F, 48000));
    rig.playAt(1, 0);
    auto ramp = rig.render(2);
    rig.mixer.setLevel(1, -2000);
    const auto next = rig.render(1);
    ramp.insert(ramp.end(), next.begin(), next.end());
    EXPECT_LT(next.front(), 0.5F) << "starts moving at once";
    EXPECT_NEAR(next.back(), 0.05F, 1e-6) << "there within one buffer";
    EXPECT_TRUE(std::is_sorted(ramp.rbegin(), ramp.rend())) << "falls steadily";
    EXPECT_LE(LargestStep(ramp), 0.45F / 480 * 1.01F) << "no jump";
    const auto held = rig.render(1);
    EXPECT_NEAR(*std::min_element(held.begin(), held.end()), 0.05F, 1e-6);
    EXPECT_NEAR(*std::max_element(held.begin(), held.end()), 0.05F, 1e-6);

    rig.mixer.setLevel(1, kSilentLevel);
    rig.render(1);
    const auto silent = rig.render(2);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](float s) { return s == 0.0F; }));
}

TEST(MixerLevels, LoudMixIsClampedToFullScale) {
    Rig rig;
    for (int slot = 1; slot <= 4; ++slot) {
        rig.mixer.setVoice(slot, Constant(kRate, slot % 2 == 0 ? 0.9F : 0.6F, 1000));
        rig.playAt(slot, 100);
    }
    auto left = rig.render(3);
    for (int slot = 1; slot <= 4; ++slot) {
        rig.mixer.setVoice(slot, Constant(kRate, -0.9F, 1000));
        rig.playAt(slot, 2100);
    }
    const auto later = rig.render(5);
    left.insert(left.end(), later.begin(), later.end());
    EXPECT_EQ(left[500], 1.0F); // 0.6 + 0.9 + 0.6 + 0.9
    EXPECT_EQ(left[2500], -1.0F);
}

TEST(MixerVoices, RestartFadesTheOldSoundInsteadOfClicking) {
    Rig rig;
    const auto sine = Sine(kRate, 1000.0, 0.8F, 24000);
    rig.mixer.setVoice(1, sine);
    rig.playAt(1, 1000);
    rig.playAt(1, 2020); // the old sound is at its peak there
    const auto left = rig.render(20);

    // A 1 kHz sine at 0.8 moves at most 0.105 per frame, and two of them cross-fading at most
    // 0.15; a cut would jump by 0.8.
    EXPECT_LT(LargestStep(std::span(left).subspan(2010, 20)), 0.11F);
    EXPECT_LT(LargestStep(std::span(left).subspan(990, 5000)), 0.15F);
    for (const std::size_t after : {200U, 1000U, 3000U}) {
        EXPECT_NEAR(left[2020 + after], sine->samples[2 * after], 1e-6)
            << "plays again from its start";
    }
}

TEST(MixerVoices, EmptiedSlotFadesOutWithoutClick) {
    Rig rig;
    rig.mixer.setVoice(1, Sine(kRate, 1000.0, 0.8F, 48000));
    rig.playAt(1, 0);
    auto left = rig.render(3);
    rig.mixer.setVoice(1, nullptr);
    const auto after = rig.render(2);
    left.insert(left.end(), after.begin(), after.end());
    EXPECT_LT(LargestStep(left), 0.12F);
    EXPECT_NE(after[10], 0.0F) << "fades rather than cuts";
    EXPECT_TRUE(std::all_of(after.begin() + 96, after.end(), [](float s) { return s == 0.0F; }))
        << "gone within 2 ms";
}

TEST(MixerVoices, ReplacedSoundLivesWhileAVoiceStillPlaysIt) {
    Rig rig(16); // buffers shorter than the fade, so the fade spans several renders
    auto first = Sine(kRate, 1000.0, 0.8F, 48000);
    const std::weak_ptr<const SampleSet> watch = first;
    rig.mixer.setVoice(1, std::move(first));
    rig.playAt(1, 0);
    rig.render(4);
    rig.mixer.setVoice(1, Impulse(kRate));
    rig.mixer.collectGarbage();
    EXPECT_FALSE(watch.expired()) << "the audio thread may still hold it";
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(rig.render(1).back(), 0.0F) << "still fading";
        rig.mixer.collectGarbage();
        EXPECT_FALSE(watch.expired()) << "freed while a voice plays it";
    }
    rig.render(4);
    rig.mixer.collectGarbage();
    EXPECT_TRUE(watch.expired());
}

TEST(MixerVoices, WithNoOutputRunningReplacedSoundsAreFreedAtOnce) {
    Rig rig;
    auto first = Constant(kRate, 0.5F, 48000);
    std::weak_ptr<const SampleSet> watch = first;
    rig.mixer.setVoice(1, std::move(first));
    rig.mixer.setVoice(1, Constant(kRate, 0.25F, 48000));
    rig.mixer.collectGarbage();
    EXPECT_TRUE(watch.expired()) << "nothing ever rendered";

    rig.playAt(1, 100);
    EXPECT_FLOAT_EQ(rig.render(1)[200], 0.25F);
    rig.mixer.outputStopped();
    auto second = Constant(kRate, 0.125F, 48000);
    watch = second;
    rig.mixer.setVoice(1, std::move(second));
    EXPECT_FALSE(watch.expired()) << "it is the slot's sound now";
    rig.mixer.setVoice(1, Constant(kRate, 0.75F, 48000));
    rig.mixer.collectGarbage();
    EXPECT_TRUE(watch.expired()) << "the output is stopped: no voice can hold it";

    const auto resumed = rig.render(2);
    EXPECT_EQ(resumed[0], 0.0F) << "the voice that played when the output stopped is gone";
    rig.playAt(1, rig.output.framesRendered() + 2000);
    const auto played = rig.render(20);
    EXPECT_FLOAT_EQ(played[2100], 0.75F) << "plays the new sound on its frame";
    EXPECT_EQ(played[1999], 0.0F);
    EXPECT_EQ(rig.mixer.lateStarts(), 0U);
}

} // namespace
} // namespace metro::sound::test
