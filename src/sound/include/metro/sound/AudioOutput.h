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
};

/// A place the mixed sound goes: the real device (SDL2) or memory (tests, benchmarks).
/// Window thread only.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    /// Opens the output and starts pulling buffers from the source.
    /// Throws SoundError when it cannot be opened.
    virtual void open(AudioSource& source) = 0;
    virtual void close() = 0;
    virtual int sampleRate() const = 0;
    virtual std::size_t bufferFrames() const = 0;
};

} // namespace metro::sound
