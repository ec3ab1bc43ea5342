#pragma once

#include "metro/core/Clock.h"

#include <chrono>
#include <cstddef>

namespace metro::sound {

/// Produces the samples of one output buffer. Called on the audio thread. [rt]
class AudioSource {
public:
    virtual ~AudioSource() = default;
    /// Fills `frames` interleaved stereo float frames. `callbackTime` is the output's stamp on
    /// the buffer's first frame, on the monotonic clock: when the output asked for the buffer,
    /// or (AudioOutput::exactStamps) when that frame plays; TimePoint{} when it cannot tell
    /// (its stream has not started to play). Must not allocate, lock, log or wait.
    virtual void render(float* out, std::size_t frames, core::TimePoint callbackTime) noexcept = 0;
    /// The output lost its stream and is opening a new one: the next render does not follow
    /// the last one. Called on the output's own thread while no render runs; must not block.
    virtual void outputRestarted() noexcept {}
    /// The output's stream played silence, or moved to another device: its next stamp is off
    /// the line of the last ones by a step. The output's thread; must not block.
    virtual void outputStepped() noexcept {}
    /// True while the source has nothing to sound. Any thread; never blocks. [rt]
    virtual bool silent() const noexcept { return false; }
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

    /// How long after its scheduled time a beat is placed, in the output's stamps: room for the
    /// beat timer's lateness and for what the output holds ahead of its stamps.
    virtual core::Clock::duration placementLead() const { return std::chrono::milliseconds(60); }
    /// How long before its scheduled time a beat should be handed over, so that it reaches the
    /// output before the frames it lands on are written: what the output holds beyond the lead.
    virtual core::Clock::duration cueAhead() const { return core::Clock::duration::zero(); }
    /// How long after its stamp a frame is heard: by default the buffer being filled and a
    /// sound server's queue of two more.
    virtual core::Clock::duration stampToSound() const {
        const int rate = sampleRate();
        return rate <= 0 ? core::Clock::duration::zero()
                         : std::chrono::duration_cast<core::Clock::duration>(
                               std::chrono::duration<double>(
                                   3.0 * static_cast<double>(bufferFrames()) / rate));
    }
    /// Whether the stamps say when frames play, without jitter (AudioSource::render).
    virtual bool exactStamps() const { return false; }
    /// The metronome starts (true) or stops (false). A stopped output may pause once its source
    /// is silent, and starts again here, a period before the first beat. Window thread.
    virtual void setActive(bool /*running*/) {}
};

} // namespace metro::sound
