#pragma once

#include "metro/sound/AudioOutput.h"

#include <memory>

namespace metro::sound {

/// The first of two outputs that opens: the sound server through libpulse where one answers
/// (PulseAudio, or PipeWire's pulse server), else the other (SDL2: PipeWire's own API, ALSA).
/// Every call goes to the one that opened. Window thread, except as the chosen output allows.
class FallbackOutput final : public AudioOutput {
public:
    FallbackOutput(std::unique_ptr<AudioOutput> first, std::unique_ptr<AudioOutput> second);

    /// Opens the first output, else the second; throws the second's SoundError when neither
    /// opens.
    void open(AudioSource& source) override;
    void close() override;
    int sampleRate() const override { return m_open->sampleRate(); }
    std::size_t bufferFrames() const override { return m_open->bufferFrames(); }
    bool available() const noexcept override { return m_open->available(); }
    core::Clock::duration placementLead() const override { return m_open->placementLead(); }
    core::Clock::duration cueAhead() const override { return m_open->cueAhead(); }
    core::Clock::duration stampToSound() const override { return m_open->stampToSound(); }
    bool exactStamps() const override { return m_open->exactStamps(); }
    void setActive(bool running) override { m_open->setActive(running); }

private:
    std::unique_ptr<AudioOutput> m_first;
    std::unique_ptr<AudioOutput> m_second;
    AudioOutput* m_open; // the one in use (the first until one has opened)
};

} // namespace metro::sound
