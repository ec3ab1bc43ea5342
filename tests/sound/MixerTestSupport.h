#pragma once

// Helpers for the mixer tests: sounds, and a simulated output whose callbacks jitter and whose
// clock may run off the monotonic one.

#include "metro/core/BeatPlayer.h"
#include "metro/core/Clock.h"
#include "metro/sound/Mixer.h"
#include "metro/sound/SampleSet.h"

#include "Onsets.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <span>
#include <vector>

namespace metro::sound::test {

using namespace std::chrono_literals;
using core::TimePoint;
using Nanos = std::chrono::nanoseconds;
using testsupport::OnsetFinder;

// The long tests simulate up to an hour of audio; sanitizer builds run a quarter of it.
#if defined(METRO_SANITIZED_BUILD)
inline constexpr int kLongTestDivisor = 4;
#else
inline constexpr int kLongTestDivisor = 1;
#endif

inline constexpr int kRate = 48000;
inline constexpr Nanos kLatency = 60ms;

/// A sound from the samples of its left and right channels; without a right, the left on both.
inline std::shared_ptr<const SampleSet> MakeSound(const std::vector<float>& left,
                                                  const std::vector<float>& right = {}) {
    auto sound = std::make_shared<SampleSet>();
    sound->sampleRate = kRate;
    for (std::size_t i = 0; i < left.size(); ++i) {
        sound->samples.insert(sound->samples.end(), {left[i], right.empty() ? left[i] : right[i]});
    }
    return sound;
}

/// A four-frame click whose first sample is its loudest.
inline std::shared_ptr<const SampleSet> Impulse() {
    return MakeSound({1.0F, 0.5F, 0.25F, 0.125F});
}

inline std::shared_ptr<const SampleSet> Sine(double hertz, float amplitude, int frames) {
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

} // namespace metro::sound::test
