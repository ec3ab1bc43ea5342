#pragma once

#include "metro/core/Clock.h"

#include <cstddef>

namespace metro::sound {

/// Produces the samples of one output buffer. Called on the audio thread. [rt]
class AudioSource {
public:
    virtual ~AudioSource() = default;
    /// Fills `frames` interleaved stereo float frames. `callbackTime` is the monotonic time at
    /// which the output asked for this buffer. Must not allocate, lock, log or wait.
    virtual void render(float* out, std::size_t frames, core::TimePoint callbackTime) noexcept = 0;
    /// The output lost its stream and is opening a new one: the next render does not follow
    /// the last one. Called on the output's own thread while no render runs; must not block.
    virtual void outputRestarted() noexcept {}
};

/// A place the mixed sound goes: the real device (SDL2) or memory (tests, benchmarks).
/// Window thread only, except available().
class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    /// Opens the output and starts pulling buffers from the source.
    /// Throws SoundError when it cannot be opened.
    virtual void open(AudioSource& source) = 0;
    virtual void close() = 0;
    virtual int sampleRate() const = 0;
    virtual std::size_t bufferFrames() const = 0;
    /// Whether the output plays now: false while it is lost or stalled (its sound server went
    /// away or stopped answering) until it runs again. Any thread; never blocks.
    virtual bool available() const noexcept { return true; }
};

} // namespace metro::sound
