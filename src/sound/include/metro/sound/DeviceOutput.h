#pragma once

#include "metro/sound/AudioOutput.h"

#include <cstddef>
#include <cstdint>

namespace metro::sound {

/// The default sound device through SDL2 (PulseAudio, PipeWire or ALSA): float samples,
/// stereo, the device's own rate, buffers of about 10 ms. Window thread only.
class DeviceOutput final : public AudioOutput {
public:
    /// Construct it before the program starts other threads: it sets the environment libpulse
    /// reads.
    DeviceOutput();
    ~DeviceOutput() override;
    DeviceOutput(const DeviceOutput&) = delete;
    DeviceOutput& operator=(const DeviceOutput&) = delete;

    void open(AudioSource& source) override;
    void close() override;
    int sampleRate() const override { return m_sampleRate; }
    std::size_t bufferFrames() const override { return m_bufferFrames; }

private:
    static void renderCallback(void* userdata, std::uint8_t* stream, int length) noexcept; // [rt]

    std::uint32_t m_device = 0;
    bool m_sdlStarted = false;
    int m_sampleRate = 0;
    std::size_t m_bufferFrames = 0;
    AudioSource* m_source = nullptr;
    bool m_audioThreadRaised = false; // audio thread only, while open
};

} // namespace metro::sound
