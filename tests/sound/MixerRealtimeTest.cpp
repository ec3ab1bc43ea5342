#include "MixerTestSupport.h"

#include "metro/sound/EngineSoundService.h"
#include "metro/sound/Mixer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

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

constexpr int kRate = 48000;

TEST(MixerRealtime, RenderScheduleAndLevelsAllocateNothing) {
    {
        const std::uint64_t before = t_allocations;
        const auto probe = std::make_unique<int>(1);
        ASSERT_GT(t_allocations, before) << "the counter must see allocations";
    }
    Mixer mixer(kRate, kLatency);
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Sine(kRate, 440.0 * slot, 0.5F, 9000));
    }
    SimulatedOutput output(mixer, {.rate = kRate, .callbackJitter = 2ms});
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
    EXPECT_GT(mixer.lateStarts(), 0U) << "the late path ran too";
}

TEST(MixerRealtime, FullQueueDropsAndLateBeatStartsAtTheBufferStart) {
    Mixer mixer(kRate, 5ms);
    mixer.setVoice(2, Impulse(kRate));
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
    EXPECT_EQ(finder.onsets, std::vector<std::int64_t>{bufferStart});
    EXPECT_EQ(mixer.lateStarts(), 63U);
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
    sound.createVoice(1, Impulse(kRate));
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

// Beats from a beat thread, levels and sounds from a control thread, while an audio thread
// renders in real time: every accepted beat must sound, and the threads must not race. (Beats
// and sounds come from different threads: through the cue queue a single producer would order
// the sounds' writes before the audio thread's reads and hide a publishing fault.)
TEST(MixerThreads, BeatsLevelsAndSoundsFromOtherThreadsWhileRendering) {
    Mixer mixer(kRate, 5ms);
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Impulse(kRate));
    }
    std::atomic<bool> stopAudio{false};
    std::atomic<bool> beatsDone{false};
    OnsetFinder finder;
    std::thread audio([&] {
        std::vector<float> buffer(2 * 48);
        const TimePoint start = core::Clock::now();
        for (int k = 0; !stopAudio.load(); ++k) {
            std::this_thread::sleep_until(start + 1ms * k);
            mixer.render(buffer.data(), 48, core::Clock::now());
            finder.scan(buffer, 48 * k);
        }
    });
    int accepted = 0;
    std::thread beats([&] {
        for (int i = 0; i < 150; ++i) {
            const TimePoint now = core::Clock::now();
            accepted += mixer.schedule(core::BeatCue{i % 4 + 1, now, 1}) ? 1 : 0;
            std::this_thread::sleep_until(now + 3ms);
        }
        beatsDone.store(true);
    });
    for (int i = 0; !beatsDone.load(); ++i) {
        mixer.setLevel(i % 4 + 1, -((i * 37) % 3000));
        if (i % 25 == 0) {
            mixer.setVoice(i % 4 + 1,
                           MakeSound(kRate, {0.5F + 0.01F * static_cast<float>(i % 40)}));
        }
        std::this_thread::sleep_for(200us);
    }
    beats.join();
    std::this_thread::sleep_for(100ms);
    stopAudio.store(true);
    audio.join();
    mixer.outputStopped();
    mixer.collectGarbage();

    EXPECT_EQ(accepted + static_cast<int>(mixer.droppedCues()), 150);
    // Beats that start late bunch up at a buffer start and may merge into one onset.
    EXPECT_LE(finder.onsets.size(), static_cast<std::size_t>(accepted));
    EXPECT_GE(finder.onsets.size(), static_cast<std::size_t>(accepted) / 2);
}

} // namespace
} // namespace metro::sound::test
