#pragma once

#include "metro/core/BeatPlayer.h"
#include "metro/core/Clock.h"
#include "metro/sound/Level.h"
#include "metro/sound/SampleSet.h"

#include <memory>
#include <stdexcept>

namespace metro::sound {

/// A failure of the sound service or of a voice file; the message names the file or device
/// and the reason.
class SoundError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The sound-device service: one output device and a voice per slot (1..4; slot 0 is never
/// used), each with its own level and its own playback.
/// All calls come from the window thread, except play(), which the beat tick makes on the
/// timer thread and which never blocks.
class SoundService : public core::BeatPlayer {
public:
    static constexpr int kSlotCount = 5;

    /// Opens the default output device. Throws SoundError when it cannot be opened.
    virtual void open() = 0;
    /// Stops output and closes the device. Safe to call more than once.
    virtual void close() = 0;
    /// The device's sample rate, known after open().
    virtual int sampleRate() const = 0;
    /// How long after its scheduled time a beat becomes audible.
    virtual core::Clock::duration outputLatency() const = 0;
    /// Whether the device plays now. While it is lost or stalled (the sound server went away
    /// or stopped answering) this is false, and beats played meanwhile are dropped, not
    /// queued. Any thread; never blocks.
    virtual bool outputAvailable() const noexcept { return true; }

    /// Puts a new voice holding this sound in the slot, at full level. The slot's old voice,
    /// if any, is released first.
    virtual void createVoice(int slot, std::shared_ptr<const SampleSet> sound) = 0;
    /// Empties the slot; a voice still sounding is cut off without a click.
    virtual void releaseVoice(int slot) = 0;
    virtual bool hasVoice(int slot) const = 0;
    /// Sets the slot's level for its later playback, and for the sound playing now.
    virtual void setVolume(int slot, Level level) = 0;
};

} // namespace metro::sound
