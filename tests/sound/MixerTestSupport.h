#pragma once

// Helpers for the mixer tests: simple sounds, a simulated output with jittery callbacks and a
// device clock that may run off the monotonic one, a simulated beat thread, and an onset finder.

#include "metro/core/BeatPlayer.h"
#include "metro/core/Clock.h"
#include "metro/sound/Mixer.h"
#include "metro/sound/SampleSet.h"

#include <chrono>
#include <cmath>
#include <cstddef>
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

// The long tests simulate hours of audio; sanitizer builds run a quarter of it.
#if defined(METRO_SANITIZED_BUILD)
inline constexpr int kLongTestDivisor = 4;
#else
inline constexpr int kLongTestDivisor = 1;
#endif

inline constexpr Nanos kLatency = 60ms;

/// A sound from mono samples, copied to both channels.
inline std::shared_ptr<const SampleSet> MakeSound(int rate, const std::vector<float>& mono) {
    auto sound = std::make_shared<SampleSet>();
    sound->name = "test";
    sound->sampleRate = rate;
    for (const float sample : mono) {
        sound->samples.push_back(sample);
        sound->samples.push_back(sample);
    }
    return sound;
}

/// A four-frame click whose very first sample is its loudest.
inline std::shared_ptr<const SampleSet> Impulse(int rate) {
    return MakeSound(rate, {1.0F, 0.5F, 0.25F, 0.125F});
}

inline std::shared_ptr<const SampleSet> Constant(int rate, float value, std::size_t frames) {
    return MakeSound(rate, std::vector<float>(frames, value));
}

inline std::shared_ptr<const SampleSet> Sine(int rate, double hertz, float amplitude,
                                             std::size_t frames) {
    std::vector<float> mono(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * std::numbers::pi * hertz * static_cast<double>(i) / rate;
        mono[i] = amplitude * static_cast<float>(std::sin(phase));
    }
    return MakeSound(rate, mono);
}

/// Drives a mixer as an output device would: buffer k is asked for at
/// origin + k x frames / deviceRate, plus a uniform jitter of up to +-callbackJitter. The
/// device rate is the nominal one, off by `ppm` parts per million against the monotonic clock.
class SimulatedOutput {
public:
    struct Options {
        int rate = 48000;
        std::size_t bufferFrames = 480;
        double ppm = 0.0;
        Nanos callbackJitter{0};
        std::uint64_t seed = 1;
    };

    SimulatedOutput(AudioSource& source, Options options)
        : m_source(source), m_options(options), m_buffer(2 * options.bufferFrames),
          m_random(options.seed) {}

    TimePoint origin() const { return m_origin; }
    std::int64_t framesRendered() const { return m_buffers * frames(); }
    /// Draws the time at which the next buffer is asked for (a new jitter on every call).
    TimePoint drawCallbackTime() { return idealTime(m_buffers) + jitter(); }
    /// The frame (with fraction) that really plays at monotonic time `time`.
    double trueFrameAt(TimePoint time) const {
        const double seconds = std::chrono::duration<double>(time - m_origin).count();
        return seconds * deviceRate();
    }
    /// Renders the next buffer, asked for at `callbackTime`.
    std::span<const float> render(TimePoint callbackTime) {
        m_source.render(m_buffer.data(), m_options.bufferFrames, callbackTime);
        ++m_buffers;
        return m_buffer;
    }

private:
    std::int64_t frames() const { return static_cast<std::int64_t>(m_options.bufferFrames); }
    double deviceRate() const { return m_options.rate * (1.0 + m_options.ppm * 1e-6); }
    TimePoint idealTime(std::int64_t buffer) const {
        const double seconds = static_cast<double>(buffer * frames()) / deviceRate();
        return m_origin + Nanos(std::llround(seconds * 1e9));
    }
    Nanos jitter() {
        const auto range = m_options.callbackJitter.count();
        std::uniform_int_distribution<std::int64_t> pick(-range, range);
        return Nanos(pick(m_random));
    }

    AudioSource& m_source;
    Options m_options;
    std::vector<float> m_buffer;
    std::mt19937_64 m_random;
    TimePoint m_origin = TimePoint(std::chrono::seconds(12345));
    std::int64_t m_buffers = 0;
};

/// Plays the beat thread: beat k of a run is scheduled at first + k x period and posted when
/// the thread wakes, a random 0..wakeJitter after that.
class BeatSource {
public:
    BeatSource(Mixer& mixer, TimePoint first, Nanos period, int beats, std::uint64_t run,
               Nanos wakeJitter, std::uint64_t seed = 7)
        : m_mixer(mixer), m_first(first), m_period(period), m_beats(beats), m_run(run),
          m_wakeJitter(wakeJitter), m_random(seed) {
        m_nextWake = scheduled(0) + wake();
    }

    TimePoint scheduled(int beat) const { return m_first + m_period * beat; }
    bool done() const { return m_next >= m_beats; }
    /// Posts every beat whose thread has woken by `now`.
    void postUntil(TimePoint now) {
        while (m_next < m_beats && m_nextWake <= now) {
            m_mixer.schedule(core::BeatCue{slot(m_next), scheduled(m_next), m_run});
            ++m_next;
            m_nextWake = scheduled(m_next) + wake();
        }
    }

private:
    static int slot(int beat) { return beat % 4 + 1; }
    Nanos wake() {
        std::uniform_int_distribution<std::int64_t> pick(0, m_wakeJitter.count());
        return Nanos(pick(m_random));
    }

    Mixer& m_mixer;
    TimePoint m_first;
    Nanos m_period;
    int m_beats;
    std::uint64_t m_run;
    Nanos m_wakeJitter;
    std::mt19937_64 m_random;
    int m_next = 0;
    TimePoint m_nextWake{};
};

/// Finds onsets in rendered audio: a frame whose left sample is non-zero after at least
/// `minGap` frames of exact silence.
class OnsetFinder {
public:
    explicit OnsetFinder(std::int64_t minGap = 64) : m_minGap(minGap) {}

    void scan(std::span<const float> stereo, std::int64_t firstFrame) {
        const float* samples = stereo.data();
        const std::size_t frames = stereo.size() / 2;
        for (std::size_t i = 0; i < frames; ++i) {
            if (samples[2 * i] == 0.0F) {
                continue;
            }
            const std::int64_t frame = firstFrame + static_cast<std::int64_t>(i);
            if (frame - m_lastSound > m_minGap) {
                m_onsets.push_back(frame);
            }
            m_lastSound = frame;
        }
    }
    const std::vector<std::int64_t>& onsets() const { return m_onsets; }

private:
    std::int64_t m_minGap;
    std::int64_t m_lastSound = -(std::int64_t{1} << 40);
    std::vector<std::int64_t> m_onsets;
};

/// Renders until the beat source has posted everything and `tail` more time has passed,
/// scanning each buffer for onsets as it goes, so no long recording is kept.
inline std::vector<std::int64_t> PlayAndListen(SimulatedOutput& output, BeatSource& beats,
                                               TimePoint until) {
    OnsetFinder finder;
    for (TimePoint now = output.drawCallbackTime(); now < until || !beats.done();
         now = output.drawCallbackTime()) {
        beats.postUntil(now);
        const std::int64_t first = output.framesRendered();
        finder.scan(output.render(now), first);
    }
    return finder.onsets();
}

} // namespace metro::sound::test
