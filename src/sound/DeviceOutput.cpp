#include "metro/sound/DeviceOutput.h"

#include "metro/sound/SoundService.h"

#include <SDL.h>
#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <string>

namespace metro::sound {

namespace {

/// Rate asked for when SDL cannot tell the device's own rate.
constexpr int kFallbackRate = 48000;
/// Buffers per second: 100 gives 10 ms buffers (480 frames at 48 kHz).
constexpr int kBuffersPerSecond = 100;

/// Sound the PulseAudio server holds ahead of the device, in ms (see open()).
constexpr const char* kServerBufferMs = "20";
/// Real-time priority of the audio thread: above the beat timer's, below the sound server's.
constexpr int kAudioPriorityAboveMin = 2;

// Puts the calling (audio) thread at real-time priority where the system allows it, so a busy
// machine cannot starve the 10 ms buffers into underruns. SDL leaves it at normal priority.
void raiseAudioThreadPriority() noexcept {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + kAudioPriorityAboveMin;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param); // quietly normal when refused
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

// The SDL audio thread's entry: stamps the request time first, then lets the source fill it.
void DeviceOutput::renderCallback(void* userdata, std::uint8_t* stream, int length) noexcept {
    const core::TimePoint callbackTime = core::Clock::now();
    auto* self = static_cast<DeviceOutput*>(userdata);
    if (!self->m_audioThreadRaised) {
        raiseAudioThreadPriority(); // once per stream, on its first buffer
        self->m_audioThreadRaised = true;
    }
    const auto frames = static_cast<std::size_t>(length) / (2 * sizeof(float));
    // SDL hands over a byte buffer laid out for AUDIO_F32SYS stereo.
    self->m_source->render(reinterpret_cast<float*>(stream), frames, callbackTime);
}

DeviceOutput::DeviceOutput() {
    // SDL's PulseAudio driver asks the server to hold just one buffer (10 ms), which a busy
    // machine cannot keep full: every late callback becomes a gap that delays all later sound.
    // libpulse takes the server's buffer length from PULSE_LATENCY_MSEC; unless the user chose
    // one, ask for two buffers (20 ms). Callbacks stay 10 ms apart. (30 ms made the callbacks'
    // timing wander enough to stir the mixer's clock map.) Set here, before the program starts
    // other threads, since setenv is not safe beside a getenv on another thread.
    setenv("PULSE_LATENCY_MSEC", kServerBufferMs, 0); // NOLINT(concurrency-mt-unsafe): see above
}

DeviceOutput::~DeviceOutput() {
    close();
}

void DeviceOutput::open(AudioSource& source) {
    close();
    // Without this SDL turns SIGINT and SIGTERM into quit events that nothing reads, and the
    // program could no longer be ended by a signal.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
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
    want.userdata = this;

    SDL_AudioSpec have{};
    m_source = &source;
    m_audioThreadRaised = false;
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
