#pragma once

#include "metro/core/Clock.h"
#include "metro/sound/AudioOutput.h"

#include <cstddef>
#include <vector>

namespace metro::sound {

/// An output that renders into memory when asked, with callback times chosen by the caller:
/// for tests and benchmarks. Window thread only.
class OfflineOutput final : public AudioOutput {
public:
    explicit OfflineOutput(int sampleRate = 48000, std::size_t bufferFrames = 480);

    void open(AudioSource& source) override;
    void close() override;
    int sampleRate() const override { return m_sampleRate; }
    std::size_t bufferFrames() const override { return m_bufferFrames; }

    /// Renders one buffer as if the device asked for it at `callbackTime`, and appends it to
    /// the recording. Does nothing while closed.
    void pull(core::TimePoint callbackTime);
    /// Everything rendered so far, interleaved stereo.
    const std::vector<float>& recording() const { return m_recording; }

private:
    int m_sampleRate;
    std::size_t m_bufferFrames;
    AudioSource* m_source = nullptr;
    std::vector<float> m_buffer;
    std::vector<float> m_recording;
};

} // namespace metro::sound
