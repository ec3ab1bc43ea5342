#pragma once

#include "metro/sound/AudioOutput.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

namespace metro::sound {

/// The default sound device through SDL2 (PulseAudio, PipeWire or ALSA): float samples,
/// stereo, the device's own rate, buffers of about 10 ms.
///
/// While open, a watch thread looks at the device every 100 ms. When the device has stopped
/// (its sound server went away) the watch thread closes it and opens the default device again,
/// at the same rate and buffer size, every 100 to 250 ms until that succeeds, telling the
/// source first (AudioSource::outputRestarted). It does the same, with buffers of the device's
/// cycle, when the callbacks come a cycle apart that is not the buffer's (a PipeWire graph
/// running larger or smaller cycles plays a short buffer padded with silence). Every SDL call after
/// open() is made on that thread, so neither the window nor the beat timer ever waits for a lost or
/// frozen server. Window thread, except available().
class DeviceOutput final : public AudioOutput {
public:
    /// How long close() waits for a device that does not close (its server frozen) before it
    /// leaves it to the watch thread and returns.
    static constexpr std::chrono::milliseconds kCloseTimeout{1000};

    DeviceOutput();
    ~DeviceOutput() override;
    DeviceOutput(const DeviceOutput&) = delete;
    DeviceOutput& operator=(const DeviceOutput&) = delete;

    void open(AudioSource& source) override;
    /// Stops the watch thread and closes the device; gives up waiting after kCloseTimeout, when
    /// no buffer will reach the source any more either way.
    void close() override;
    int sampleRate() const override { return m_sampleRate; }
    /// The buffer size of the stream open now. Any thread, between open() and close().
    std::size_t bufferFrames() const noexcept override;
    /// False from the moment the device is seen stopped, or has asked for no buffer during
    /// 250 ms (a new stream gets 2 s to start), until it plays again. Any thread, between
    /// open() and close().
    bool available() const noexcept override;
    /// How many times the device was opened again after it was lost. Any thread.
    std::uint64_t reopenCount() const noexcept;

private:
    struct Stream;
    static void renderCallback(void* userdata, std::uint8_t* stream, int length) noexcept; // [rt]
    static void watch(const std::shared_ptr<Stream>& stream);
    static void reopenIfLost(Stream& stream);

    std::shared_ptr<Stream> m_stream;
    std::thread m_watcher;
    int m_sampleRate = 0;
};

} // namespace metro::sound
