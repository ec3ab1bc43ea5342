#include "metro/sound/DeviceOutput.h"

#include "metro/sound/SoundService.h"

#include <SDL.h>

#include <string>

namespace metro::sound {

namespace {

/// Rate asked for when SDL cannot tell the device's own rate.
constexpr int kFallbackRate = 48000;
/// Buffers per second: 100 gives 10 ms buffers (480 frames at 48 kHz).
constexpr int kBuffersPerSecond = 100;

// The SDL audio thread's entry: stamps the request time first, then lets the source fill it.
void renderCallback(void* userdata, Uint8* stream, int length) {
    const core::TimePoint callbackTime = core::Clock::now();
    auto* source = static_cast<AudioSource*>(userdata);
    const auto frames = static_cast<std::size_t>(length) / (2 * sizeof(float));
    // SDL hands over a byte buffer laid out for AUDIO_F32SYS stereo.
    source->render(reinterpret_cast<float*>(stream), frames, callbackTime);
}

/// The default device's own rate, or 0 when SDL cannot tell.
int defaultDeviceRate() {
#if SDL_VERSION_ATLEAST(2, 24, 0)
    char* name = nullptr;
    SDL_AudioSpec spec{};
    if (SDL_GetDefaultAudioInfo(&name, &spec, 0) == 0) {
        SDL_free(name);
        return spec.freq;
    }
#endif
    return 0;
}

} // namespace

DeviceOutput::DeviceOutput() = default;

DeviceOutput::~DeviceOutput() {
    close();
}

void DeviceOutput::open(AudioSource& source) {
    close();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        throw SoundError(std::string("Cannot start the sound system: ") + SDL_GetError());
    }
    m_sdlStarted = true;

    const int deviceRate = defaultDeviceRate();
    SDL_AudioSpec want{};
    want.freq = deviceRate > 0 ? deviceRate : kFallbackRate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = static_cast<Uint16>(want.freq / kBuffersPerSecond);
    want.callback = renderCallback;
    want.userdata = &source;

    SDL_AudioSpec have{};
    m_source = &source;
    m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (m_device == 0) {
        const std::string reason = SDL_GetError();
        close();
        throw SoundError("Cannot open the sound device: " + reason);
    }
    m_sampleRate = have.freq;
    m_bufferFrames = have.samples;
    SDL_PauseAudioDevice(m_device, 0);
}

void DeviceOutput::close() {
    if (m_device != 0) {
        // Stops the callback and waits for one that is running.
        SDL_CloseAudioDevice(m_device);
        m_device = 0;
    }
    if (m_sdlStarted) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        m_sdlStarted = false;
    }
    m_source = nullptr;
    m_sampleRate = 0;
    m_bufferFrames = 0;
}

} // namespace metro::sound
