// The mixer on simulated outputs. Where it places beats on the output's frames: exact grids on a
// true clock, drifting device clocks, underruns, stalls and restarts of the stream, bursts of
// callbacks. Its voices and levels on an output without jitter, so that a beat can be aimed at an
// exact frame; what the audio thread may not do (allocate, start a beat whose frame has passed);
// and the sound service dropping beats while its device is lost.
#include "metro/sound/Mixer.h"
#include "metro/core/BeatPlayer.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/Level.h"

#include "Fakes.h"
#include "GridFit.h"
#include "Onsets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <numeric>
#include <random>
#include <span>

// Every allocation and free of this test program is counted per thread, so a test can check
// that a stretch of code allocated nothing. (The library's other operator new and delete forms
// forward to these.)
static thread_local std::uint64_t t_allocations = 0;

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

using namespace std::chrono_literals;
using core::TimePoint;
using Nanos = std::chrono::nanoseconds;
using testsupport::MakeSound;
using testsupport::OnsetFinder;

// The long tests simulate up to an hour of audio; sanitizer builds run a quarter of it.
#if defined(METRO_SANITIZED_BUILD)
constexpr int kLongTestDivisor = 4;
#else
constexpr int kLongTestDivisor = 1;
#endif

constexpr int kRate = 48000;
constexpr Nanos kLatency = 60ms;

/// A four-frame click whose first sample is its loudest.
std::shared_ptr<const SampleSet> Impulse() {
    return MakeSound({1.0F, 0.5F, 0.25F, 0.125F});
}

std::shared_ptr<const SampleSet> Sine(double hertz, float amplitude, int frames) {
    std::vector<float> mono;
    for (int i = 0; i < frames; ++i) {
        mono.push_back(amplitude *
                       static_cast<float>(std::sin(2 * std::numbers::pi * hertz * i / kRate)));
    }
    return MakeSound(mono);
}

/// Drives a mixer as an output would: buffer k is asked for at origin + k x frames / device
/// rate (nominal rate off by `ppm`), plus a uniform jitter of up to +-callbackJitter. With a
/// `stall`, the device plays silence that long once `stallAt` seconds of audio have been asked
/// for (an underrun): later buffers are asked for, and play, that much later. With
/// `cycleFrames`, the output pulls buffers in bursts at the start of each cycle of that many
/// frames, as many as it takes to cover the cycle. With `restart`, the stall is a new stream,
/// and the source is told so before its first buffer.
struct SimulatedOutput {
    struct Options {
        int rate = kRate;
        std::size_t bufferFrames = 480;
        double ppm = 0.0;
        Nanos callbackJitter{0};
        std::uint64_t seed = 1;
        Nanos stall{0};
        double stallAt = 0.0;
        std::int64_t cycleFrames = 0;
        bool restart = false;
    };

    SimulatedOutput(AudioSource& to, Options with)
        : source(to), options(with), buffer(2 * with.bufferFrames), random(with.seed) {}

    std::int64_t framesRendered() const {
        return buffers * static_cast<std::int64_t>(options.bufferFrames);
    }
    /// The frame (with fraction) that really plays at monotonic time `time`.
    double trueFrameAt(TimePoint time) const {
        double seconds = std::chrono::duration<double>(time - origin).count();
        const double stalled = std::chrono::duration<double>(options.stall).count();
        if (seconds > options.stallAt) {
            seconds = std::max(options.stallAt, seconds - stalled);
        }
        return seconds * options.rate * (1.0 + options.ppm * 1e-6);
    }
    /// When the next buffer is asked for (a new jitter on every call).
    TimePoint nextCallbackTime() {
        std::int64_t frame = framesRendered();
        frame -= options.cycleFrames > 0 ? frame % options.cycleFrames : 0;
        const double seconds =
            static_cast<double>(frame) / options.rate / (1.0 + options.ppm * 1e-6);
        const auto range = options.callbackJitter.count();
        return origin + Nanos(std::llround(seconds * 1e9)) +
               (seconds >= options.stallAt ? options.stall : Nanos(0)) +
               Nanos(std::uniform_int_distribution<std::int64_t>(-range, range)(random));
    }
    std::span<const float> render(TimePoint callbackTime) {
        if (options.restart &&
            static_cast<double>(framesRendered()) / options.rate >= options.stallAt) {
            options.restart = false;
            source.outputRestarted();
        }
        source.render(buffer.data(), options.bufferFrames, callbackTime);
        ++buffers;
        return buffer;
    }

    AudioSource& source;
    Options options;
    std::vector<float> buffer;
    std::mt19937_64 random;
    TimePoint origin = TimePoint(std::chrono::seconds(12345));
    std::int64_t buffers = 0;
};

struct Grid {
    std::vector<std::int64_t> onsets;
    std::vector<double> offsets; // frames from each onset to where its beat's time plays
    double worstOffset = 0.0;
    double worstResidual = 0.0; // frames off the least-squares line through the second half
};

/// One run of `beats` beats a period apart, the stream running `preroll` before the first (the
/// program keeps it running while stopped). Each beat is posted when the beat thread wakes,
/// 0..3 ms after its time; the output renders until the last has sounded.
Grid play(Mixer& mixer, SimulatedOutput& output, Nanos period, int beats, Nanos preroll) {
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, Impulse());
    }
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> wake(0, 3'000'000);
    OnsetFinder finder;
    const TimePoint first = output.origin + preroll;
    TimePoint nextWake = first + Nanos(wake(random));
    for (int next = 0;;) {
        const TimePoint now = output.nextCallbackTime();
        if (now >= first + period * beats + kLatency) {
            break;
        }
        for (; next < beats && nextWake <= now; ++next) {
            mixer.schedule(core::BeatCue{next % 4 + 1, first + period * next, 1});
            nextWake = first + period * (next + 1) + Nanos(wake(random));
        }
        const std::int64_t start = output.framesRendered();
        finder.scan(output.render(now), start);
    }
    Grid grid;
    grid.onsets = finder.onsets;
    const std::vector<std::int64_t> secondHalf(
        grid.onsets.begin() + static_cast<std::ptrdiff_t>(grid.onsets.size() / 2),
        grid.onsets.end());
    std::vector<std::int64_t> indices(secondHalf.size());
    std::iota(indices.begin(), indices.end(), 0);
    grid.worstResidual =
        secondHalf.size() < 2 ? 0.0 : bench::FitGrid(secondHalf, indices).residualMax;
    for (std::size_t k = 0; k < grid.onsets.size(); ++k) {
        const TimePoint sounds = first + period * static_cast<int>(k) + kLatency;
        grid.offsets.push_back(static_cast<double>(grid.onsets[k]) - output.trueFrameAt(sounds));
        grid.worstOffset = std::max(grid.worstOffset, std::fabs(grid.offsets.back()));
    }
    return grid;
}

// A true clock: every beat of a long run lands on anchor + round(k x period x rate) (so whole-
// frame periods are exact), with callbacks and beat-thread wake-ups jittering by milliseconds,
// also when the output pulls two or three buffers at once at the start of each 1024-frame cycle:
// bursts are not jitter to correct. The beats play where their times do, give or take the jitter
// (or a fixed fraction of a burst's cycle), none late and the grid never corrected.
TEST(MixerGrid, LongRunOnTheNominalGridAt48kAnd44k1EvenInBursts) {
    for (const auto& [rate, cycle] : {std::pair{48000, 0}, {44100, 0}, {48000, 1024}}) {
        Mixer mixer(rate, kLatency);
        SimulatedOutput output(
            mixer, {.rate = rate, .callbackJitter = 2ms, .seed = 11, .cycleFrames = cycle});
        const int beats = 10000 / kLongTestDivisor;
        const Grid grid = play(mixer, output, 451ms, beats, 5s);
        ASSERT_EQ(grid.onsets.size(), static_cast<std::size_t>(beats));
        for (std::size_t k = 0; k < grid.onsets.size(); ++k) {
            ASSERT_LE(std::fabs(static_cast<double>(grid.onsets[k] - grid.onsets[0]) -
                                0.451 * rate * static_cast<double>(k)),
                      0.5 + 1e-6)
                << rate << " Hz, cycle " << cycle << ", beat " << k;
        }
        EXPECT_LT(grid.worstOffset, cycle > 0 ? 1024.0 : 0.0002 * rate) << rate << ", " << cycle;
        EXPECT_EQ(mixer.gridCorrections(), 0U);
        EXPECT_EQ(mixer.lateStarts(), 0U);
    }
}

// The output stalls 3 s (a frozen sound server), or restarts its stream after 100 ms (a server
// started again), 3 s into the run: no beat queued or placed across the break sounds after it,
// and within a second the run goes on from a new anchor, on the frames where its beats' times
// play, a whole period apart.
TEST(MixerGrid, ResumesOnTheScheduledTimesAfterAStallOrARestart) {
    for (const bool restart : {false, true}) {
        Mixer mixer(kRate, kLatency);
        SimulatedOutput output(mixer, {.callbackJitter = 500us,
                                       .seed = 3,
                                       .stall = restart ? Nanos(100ms) : Nanos(3s),
                                       .stallAt = 5.0,
                                       .restart = restart});
        const Grid grid = play(mixer, output, 150ms, 80, 2s);
        const auto after = std::find_if(grid.onsets.begin(), grid.onsets.end(),
                                        [](std::int64_t frame) { return frame >= 5 * kRate; });
        EXPECT_GE(after - grid.onsets.begin(), 19) << restart;
        ASSERT_NE(after, grid.onsets.end()) << restart;
        // After the break, beat k's time plays on frame (2.06 s + k x 150 ms - stall) x rate:
        // the first beat heard again is due within a second of the output's return, the next
        // ones a period apart.
        const double stalled = restart ? 0.1 : 3.0;
        const auto resumed = std::llround((double(*after) / kRate + stalled - 2.06) / 0.15);
        EXPECT_LE(2.06 + 0.15 * double(resumed), 5.0 + stalled + 1.0) << restart;
        EXPECT_EQ(resumed + (grid.onsets.end() - after), 80) << restart;
        for (auto onset = after; onset != grid.onsets.end(); ++onset) {
            const auto k = resumed + (onset - after);
            EXPECT_NEAR(double(*onset), (2.06 + 0.15 * double(k) - stalled) * kRate, 48.0) << k;
            EXPECT_TRUE(onset == after || *onset - onset[-1] == 7200) << restart << k;
        }
        EXPECT_EQ(mixer.resyncs(), 1U) << restart;
        EXPECT_GT(mixer.skippedCues(), 0U) << restart;
    }
}

// The stream opens anew with no break in its frames (moved to a device of the same latency)
// just after a beat was placed for the old one: that beat is placed again on the new stream,
// and no beat is lost or moved.
TEST(MixerGrid, PlacesItsBeatsAnewOnARestartedStream) {
    Mixer mixer(kRate, kLatency, Mixer::Placement::Exact, true);
    SimulatedOutput output(mixer, {.stallAt = 5.055, .restart = true});
    const Grid grid = play(mixer, output, 150ms, 40, 2005ms);
    ASSERT_EQ(grid.onsets.size(), 40U);
    for (std::size_t k = 1; k < grid.onsets.size(); ++k) {
        EXPECT_EQ(grid.onsets[k] - grid.onsets[k - 1], 7200) << k;
    }
    EXPECT_EQ(mixer.resyncs(), 1U);
}

// The output plays 20 or 40 ms of silence once (an underrun), so every later frame sounds that
// much later. That is a step, not a drift: the beats keep their frames (the stream's intervals
// stay exact, so the one heard across the silence is longer, never shorter), the run reports
// its sound that much later, and nothing pulls the grid back.
TEST(MixerGrid, TakesAnUnderrunAsOneStep) {
    for (const Nanos stall : {Nanos(20ms), Nanos(40ms)}) {
        Mixer mixer(kRate, kLatency);
        SimulatedOutput output(mixer,
                               {.callbackJitter = 2ms, .seed = 9, .stall = stall, .stallAt = 40.0});
        const Grid grid = play(mixer, output, 150ms, 400, 15s);
        ASSERT_EQ(grid.onsets.size(), 400U);
        for (std::size_t k = 1; k < grid.onsets.size(); ++k) {
            ASSERT_EQ(grid.onsets[k] - grid.onsets[k - 1], 7200) << stall.count() << " beat " << k;
        }
        EXPECT_NEAR(grid.offsets.back(), 48.0 * static_cast<double>(stall / 1ms), 24.0);
        EXPECT_NEAR((std::chrono::duration<double, std::milli>(mixer.heardLater() - stall).count()),
                    0.0, 0.5);
        EXPECT_EQ(mixer.gridCorrections(), 0U) << stall.count();
        EXPECT_EQ(mixer.lateStarts(), 0U);
    }
}

// The device clock runs off the monotonic one for half an hour: once the map has measured it
// the beats form a straight grid (within the rounding and the few corrections), they stay near
// where their times really play (drawn back once parted), and none is late.
TEST(MixerDrift, FollowsTheDeviceClockOnAStraightGrid) {
    for (const auto& [ppm, period, jitter] : {std::tuple{230.0, Nanos(451ms), Nanos(2ms)},
                                              {-100.0, Nanos(150ms), Nanos(2ms)},
                                              {20.0, Nanos(1000ms), Nanos(500us)}}) {
        Mixer mixer(kRate, kLatency);
        SimulatedOutput output(mixer, {.ppm = ppm, .callbackJitter = jitter, .seed = 5});
        const auto beats = static_cast<int>(1800s / period / kLongTestDivisor);
        const Grid grid = play(mixer, output, period, beats, 15s);
        ASSERT_EQ(grid.onsets.size(), static_cast<std::size_t>(beats)) << ppm;
        EXPECT_LT(grid.worstOffset, 0.0015 * kRate) << ppm;
        EXPECT_LE(grid.worstResidual, 0.6 + static_cast<double>(mixer.gridCorrections())) << ppm;
        EXPECT_LT(std::fabs(grid.offsets.back()), 0.00075 * kRate) << "pulled back after parting";
        EXPECT_LE(mixer.gridCorrections(), 60U) << ppm;
        EXPECT_EQ(mixer.lateStarts(), 0U) << ppm;
    }
}

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
    const auto rendered = output.render(now);
    EXPECT_TRUE(std::all_of(rendered.begin(), rendered.end(), [](float s) { return s == 0.0F; }));
    EXPECT_EQ(mixer.skippedCues(), 63U);
    EXPECT_TRUE(mixer.schedule(core::BeatCue{2, now, 1})) << "the render drained the queue";
}

// While the device is lost a beat is dropped, not queued to sound late once it is back. At a
// stop, the beats handed over ahead of a time after it are dropped, queued or already placed;
// those due before it, and the next run's, sound.
TEST(EngineSoundService, DropsBeatsWhileTheOutputIsLostAndThoseAfterAStop) {
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
    const TimePoint base = core::Clock::now() - 1s; // the stop below comes just after base + 1 s
    sound.play(core::BeatCue{1, base, 1});
    output.up = true;
    for (const auto at : {200ms, 900ms, 1050ms, 1300ms}) {
        sound.play(core::BeatCue{1, base + at, 1});
    }
    OnsetFinder finder;
    std::vector<float> buffer(2 * 480);
    auto renderUntil = [&, k = 0](Nanos end) mutable {
        for (; 10ms * k < end; ++k) {
            output.source->render(buffer.data(), 480, base + 10ms * k);
            finder.scan(buffer, 480 * k);
        }
    };
    renderUntil(1080ms); // the 1050 ms beat is placed, the 1300 ms one still queued
    sound.runChanged(false);
    sound.runChanged(true);
    sound.play(core::BeatCue{1, base + 1500ms, 2});
    renderUntil(2s);
    EXPECT_EQ(finder.onsets, (std::vector<std::int64_t>{12480, 46080, 74880}))
        << "200 and 900 ms, and the next run's 1500 ms, each 60 ms later";
    EXPECT_EQ(sound.droppedWithoutOutput(), 1U);
}

} // namespace
} // namespace metro::sound::test
