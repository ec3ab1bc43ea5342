#pragma once

#include "metro/sound/AudioOutput.h"

#include <cstdint>
#include <memory>

namespace metro::sound {

/// The desktop's sound server through libpulse (PulseAudio, or PipeWire's pulse server): float
/// stereo at the default sink's rate, 240 ms buffered in PulseAudio (60 ms in PipeWire's pulse
/// server), so beats are handed over cueAhead() before their time.
///
/// The server tells what a callback's timing can only guess: which frame of the stream plays
/// when (its timing info), when the stream starts to play (a new stream may be held a while),
/// when it ran dry and when it moved to another device. Each buffer is stamped with the time
/// its first frame plays, or TimePoint{} while the stream is not playing; after it ran dry or
/// moved, the source hears of the step (AudioSource::outputStepped).
/// The stream is corked once the metronome has stopped and its sound has played out, so a
/// stopped metronome costs nothing, and uncorked on setActive(true).
/// When the server goes away the output connects again every 100 to 250 ms, telling the source
/// first (AudioSource::outputRestarted). Its thread (libpulse's) renders; it never waits for the
/// server, so closing does not either. Window thread, except available() and the counters.
class PulseOutput final : public AudioOutput {
public:
    PulseOutput();
    ~PulseOutput() override;
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    /// Connects to the server and makes the stream, corked. Throws SoundError when no server
    /// answers within 3 s or the stream cannot be made.
    void open(AudioSource& source) override;
    void close() override;
    int sampleRate() const override;
    std::size_t bufferFrames() const override;
    /// False while the server is gone, or plays nothing of an uncorked stream for 250 ms after
    /// it played (a frozen server); a stream that has not started yet gets 3 s. Any thread.
    bool available() const noexcept override;
    core::Clock::duration placementLead() const override;
    core::Clock::duration cueAhead() const override;
    core::Clock::duration stampToSound() const override { return core::Clock::duration::zero(); }
    bool exactStamps() const override { return true; }
    void setActive(bool running) override;

    /// Connections made again after the server went away. Any thread.
    std::uint64_t reconnects() const noexcept;
    /// Times the stream ran dry (the server's underflow). Any thread.
    std::uint64_t underflows() const noexcept;
    /// Times the stream was moved to another device. Any thread.
    std::uint64_t moves() const noexcept;
    /// Whether the stream is corked now. Any thread.
    bool corked() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace metro::sound
