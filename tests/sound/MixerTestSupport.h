#pragma once

// Helpers for the mixer tests: sounds, a simulated output whose callbacks jitter and whose clock
// may run off the monotonic one, and a simulated beat thread.

#include "metro/core/BeatPlayer.h"
#include "metro/core/Clock.h"
#include "metro/sound/Mixer.h"
#include "metro/sound/SampleSet.h"

#include "Onsets.h"

#include <chrono>
#include <cmath>
#include <cstdint>
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

inline constexpr Nanos kLatency = 60ms;

/// A sound from mono samples, copied to both channels.
inline std::shared_ptr<const SampleSet> MakeSound(int rate, const std::vector<float>& mono) {
    auto sound = std::make_shared<SampleSet>();
    sound->sampleRate = rate;
    for (const float sample : mono) {
        sound->samples.insert(sound->samples.end(), {sample, sample});
    }
    return sound;
}

/// A four-frame click whose first sample is its loudest.
inline std::shared_ptr<const SampleSet> Impulse(int rate) {
    return MakeSound(rate, {1.0F, 0.5F, 0.25F, 0.125F});
}

inline std::shared_ptr<const SampleSet> Sine(int rate, double hertz, float amplitude, int frames) {
    std::vector<float> mono;
    for (int i = 0; i < frames; ++i) {
        mono.push_back(amplitude *
                       static_cast<float>(std::sin(2.0 * std::numbers::pi * hertz * i / rate)));
    }
    return MakeSound(rate, mono);
}

/// Drives a mixer as an output would: buffer k is asked for at origin + k x frames / device
/// rate (nominal rate off by `ppm`), plus a uniform jitter of up to +-callbackJitter. With a
/// `stall`, the device plays silence that long once `stallAt` seconds of audio have been asked
/// for (an underrun): later buffers are asked for, and play, that much later. With
/// `cycleFrames`, the output pulls buffers in bursts at the start of each cycle of that many
/// frames, as many as it takes to cover the cycle.
class SimulatedOutput {
public:
    struct Options {
        int rate = 48000;
        std::size_t bufferFrames = 480;
        double ppm = 0.0;
        Nanos callbackJitter{0};
        std::uint64_t seed = 1;
        Nanos stall{0};
        double stallAt = 0.0;
        std::int64_t cycleFrames = 0;
    };

    SimulatedOutput(AudioSource& source, Options options)
        : m_source(source), m_options(options), m_buffer(2 * options.bufferFrames),
          m_random(options.seed) {}

    TimePoint origin() const { return m_origin; }
    std::int64_t framesRendered() const {
        return m_buffers * static_cast<std::int64_t>(m_options.bufferFrames);
    }
    /// The frame (with fraction) that really plays at monotonic time `time`.
    double trueFrameAt(TimePoint time) const {
        double seconds = std::chrono::duration<double>(time - m_origin).count();
        const double resumes = m_options.stallAt + std::chrono::duration<double>(stall()).count();
        if (stall() > Nanos(0) && seconds > m_options.stallAt) {
            seconds =
                seconds > resumes ? seconds - (resumes - m_options.stallAt) : m_options.stallAt;
        }
        return seconds * m_options.rate * (1.0 + m_options.ppm * 1e-6);
    }
    /// When the next buffer is asked for (a new jitter on every call).
    TimePoint nextCallbackTime() {
        std::int64_t frame = framesRendered();
        if (m_options.cycleFrames > 0) {
            frame -= frame % m_options.cycleFrames;
        }
        const double seconds =
            static_cast<double>(frame) / m_options.rate / (1.0 + m_options.ppm * 1e-6);
        const auto range = m_options.callbackJitter.count();
        const Nanos stalled = seconds >= m_options.stallAt ? stall() : Nanos(0);
        return m_origin + Nanos(std::llround(seconds * 1e9)) + stalled +
               Nanos(std::uniform_int_distribution<std::int64_t>(-range, range)(m_random));
    }
    std::span<const float> render(TimePoint callbackTime) {
        m_source.render(m_buffer.data(), m_options.bufferFrames, callbackTime);
        ++m_buffers;
        return m_buffer;
    }

private:
    Nanos stall() const { return m_options.stall; }

    AudioSource& m_source;
    Options m_options;
    std::vector<float> m_buffer;
    std::mt19937_64 m_random;
    TimePoint m_origin = TimePoint(std::chrono::seconds(12345));
    std::int64_t m_buffers = 0;
};

/// Plays the beat thread for one run of `beats` beats `period` apart from `first`: each beat is
/// posted when the thread wakes, 0..3 ms after its scheduled time. Renders until all are posted
/// and the last has sounded, and returns the onsets.
inline std::vector<std::int64_t> PlayRun(Mixer& mixer, SimulatedOutput& output, TimePoint first,
                                         Nanos period, int beats) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> wake(0, 3'000'000);
    OnsetFinder finder;
    int next = 0;
    TimePoint nextWake = first + Nanos(wake(random));
    const TimePoint until = first + period * beats + kLatency;
    for (TimePoint now = output.nextCallbackTime(); now < until; now = output.nextCallbackTime()) {
        for (; next < beats && nextWake <= now; ++next) {
            mixer.schedule(core::BeatCue{next % 4 + 1, first + period * next, 1});
            nextWake = first + period * (next + 1) + Nanos(wake(random));
        }
        const std::int64_t start = output.framesRendered();
        finder.scan(output.render(now), start);
    }
    return finder.onsets;
}

} // namespace metro::sound::test
