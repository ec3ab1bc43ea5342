#include "metro/sound/DeviceOutput.h"

#include "metro/sound/SoundService.h"

#include <SDL.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

namespace metro::sound {

namespace {

/// Rate asked for when SDL cannot tell the device's own rate.
constexpr int kFallbackRate = 48000;
/// Buffers per second: 100 gives 10 ms buffers (480 frames at 48 kHz).
constexpr int kBuffersPerSecond = 100;

/// Real-time priority of the audio thread: above the beat timer's, below the sound server's.
constexpr int kAudioPriorityAboveMin = 2;

/// How often the watch thread looks at the device.
constexpr auto kWatchPeriod = std::chrono::milliseconds(100);
/// Waits between attempts to open a lost device: the first, and the most.
constexpr auto kFirstRetry = std::chrono::milliseconds(100);
constexpr auto kLongestRetry = std::chrono::milliseconds(250);
/// A device that has asked for no buffer this long is not playing.
constexpr auto kStallLimit = std::chrono::milliseconds(250);
/// The audio thread times the device's cycle over windows of at least this long and this
/// many callbacks, once a stream has run a while (its first callbacks come irregularly); a
/// callback gap this long breaks a window off (a stall says nothing about the cycle).
constexpr auto kCycleWindow = std::chrono::milliseconds(300);
constexpr int kCycleCallbacks = 24;
constexpr auto kCycleSettle = std::chrono::milliseconds(100);
constexpr auto kCycleGapLimit = std::chrono::milliseconds(200);
/// Windows in a row that must time the same cycle before the stream is reopened to match it:
/// fewer when it is far off the buffer, more when a little (a few frames might be jitter).
constexpr int kFarOffWindows = 2;
constexpr int kNearWindows = 5;
constexpr double kFarOff = 0.03;
/// Buffer sizes (frames) the device is reopened with to match its cycle.
constexpr int kSmallestBuffer = 64;
constexpr int kLargestBuffer = 8192;
/// How long a new stream may take to start: a sound server can hold it that long before its
/// first buffers play (a PulseAudio null sink that has been idle does).
constexpr auto kStartGrace = std::chrono::seconds(2);

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

/// What the render callback and the watch thread share. It lives as long as either needs it,
/// so a watch thread left behind by close() never reaches freed memory.
struct DeviceOutput::Stream {
    // The source while open; nullptr once close() has let go of it.
    std::atomic<AudioSource*> source{nullptr};
    std::atomic<int> rendering{0};                 // callbacks inside the source now
    std::atomic<core::Clock::rep> lastCallback{0}; // the latest callback, or a start grace
    std::atomic<bool> up{false};                   // the device is open and not stopped
    std::atomic<bool> raised{false};               // the audio thread's priority is set
    std::atomic<std::uint64_t> reopens{0};
    std::atomic<std::size_t> bufferFrames{0}; // of the stream open now
    // Frames per device cycle, timed twice in a row alike (0 until then). Written by the audio
    // thread; the watch thread reopens the stream at that size when it is not the buffer's.
    std::atomic<int> cycleFrames{0};
    // The stream's callbacks have been timed a buffer apart: until then its frames may not
    // follow the clock (a cycle longer than the buffer pads each one with silence), so the
    // source gets no stamps and places no beat.
    std::atomic<bool> settled{false};
    SDL_AudioSpec spec{}; // as first obtained (but for a buffer matched to the device's cycle)

    // The audio thread's timing of the cycle: a least-squares line through the callback times
    // (s since windowStart) on their count, and the previous window's cycle. The watch thread
    // resets it (windowCallbacks = -1) while no stream is open.
    core::TimePoint streamStart{};
    core::TimePoint windowStart{};
    core::TimePoint previousCallback{};
    int windowCallbacks = -1; // -1: no stream timed yet
    double sumT = 0, sumNT = 0;
    int previousCycle = 0;
    int sameInRow = 0;

    // The watch thread's (the window thread's until it starts).
    SDL_AudioDeviceID device = 0;
    core::TimePoint nextAttempt{};
    core::Clock::duration retryDelay = kFirstRetry;

    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;  // close() asks the watch thread to end
    bool finished = false;  // the watch thread has closed the device
    bool abandoned = false; // close() stopped waiting for it

    /// A callback at `time` (audio thread): counts unless a new stream's grace lasts longer.
    void markCallback(core::TimePoint time) noexcept {
        const core::Clock::rep stamp = time.time_since_epoch().count();
        if (stamp > lastCallback.load(std::memory_order_relaxed)) {
            lastCallback.store(stamp, std::memory_order_relaxed);
        }
    }
    /// Times the device's cycle from the callbacks' spacing (audio thread). SDL's PipeWire
    /// driver asks for one buffer per graph cycle whatever the cycle's length, and the server
    /// pads a shorter buffer with silence: the sound then no longer follows the frame count.
    /// Windows in a row must give the same whole number of frames.
    void timeCycle(core::TimePoint time) noexcept {
        if (windowCallbacks < 0 || time - previousCallback > kCycleGapLimit) {
            streamStart = time;
            previousCycle = 0;
        }
        previousCallback = time;
        if (time - streamStart < kCycleSettle || windowCallbacks < 0) {
            startCycleWindow(time);
            return;
        }
        const double t = std::chrono::duration<double>(time - windowStart).count();
        const int n = ++windowCallbacks;
        sumT += t;
        sumNT += n * t;
        if (n < kCycleCallbacks || time - windowStart < kCycleWindow) {
            return;
        }
        // Slope of t on n = 0..n (the window's first callback at t = 0), by least squares.
        const double count = n + 1;
        const double meanN = n / 2.0;
        const double spread = count * (count * count - 1) / 12.0;
        const double slope = (sumNT - meanN * sumT) / spread;
        const int cycle = static_cast<int>(std::lround(slope * spec.freq));
        sameInRow = cycle == previousCycle ? sameInRow + 1 : 1;
        previousCycle = cycle;
        const bool farOff = std::abs(cycle - spec.samples) > kFarOff * spec.samples;
        settled.store(!farOff, std::memory_order_relaxed);
        if (sameInRow >= (farOff ? kFarOffWindows : kNearWindows)) {
            cycleFrames.store(cycle, std::memory_order_relaxed);
        }
        startCycleWindow(time);
    }
    void startCycleWindow(core::TimePoint time) noexcept {
        windowStart = time;
        windowCallbacks = 0;
        sumT = 0;
        sumNT = 0;
    }
    /// True when the device's timed cycle is not the buffer's length (watch thread).
    bool cycleMismatch() const noexcept {
        const int cycle = cycleFrames.load(std::memory_order_relaxed);
        return cycle > 0 && cycle != spec.samples;
    }
    /// A stream (re)opened now, before its audio thread runs: it counts as playing while it
    /// starts.
    void markOpened() noexcept {
        settled.store(false, std::memory_order_relaxed);
        const core::TimePoint grace = core::Clock::now() + kStartGrace;
        lastCallback.store(grace.time_since_epoch().count(), std::memory_order_relaxed);
    }
};

// The SDL audio thread's entry: stamps the request time first, then lets the source fill it.
void DeviceOutput::renderCallback(void* userdata, std::uint8_t* buffer, int length) noexcept {
    const core::TimePoint callbackTime = core::Clock::now();
    auto& stream = *static_cast<Stream*>(userdata);
    if (!stream.raised.load(std::memory_order_relaxed)) {
        raiseAudioThreadPriority(); // once per stream, on its first buffer
        stream.raised.store(true, std::memory_order_relaxed);
    }
    stream.markCallback(callbackTime);
    stream.timeCycle(callbackTime);
    const auto frames = static_cast<std::size_t>(length) / (2 * sizeof(float));
    // SDL hands over a byte buffer laid out for AUDIO_F32SYS stereo.
    auto* out = reinterpret_cast<float*>(buffer);
    // Sequentially consistent with close(): either it sees this render, or this sees nullptr.
    stream.rendering.fetch_add(1, std::memory_order_seq_cst);
    if (AudioSource* source = stream.source.load(std::memory_order_seq_cst)) {
        const bool settled = stream.settled.load(std::memory_order_relaxed);
        source->render(out, frames, settled ? callbackTime : core::TimePoint{});
    } else {
        std::fill(out, out + 2 * frames, 0.0F);
    }
    stream.rendering.fetch_sub(1, std::memory_order_seq_cst);
}

DeviceOutput::DeviceOutput() = default;

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

    auto stream = std::make_shared<Stream>();
    const int deviceRate = defaultDeviceRate();
    SDL_AudioSpec want{};
    want.freq = deviceRate > 0 ? deviceRate : kFallbackRate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = static_cast<Uint16>(want.freq / kBuffersPerSecond);
    want.callback = renderCallback;
    want.userdata = stream.get();
    stream->source.store(&source);

    SDL_AudioSpec have{};
    stream->device =
        SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (stream->device == 0) {
        const std::string reason = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        throw SoundError("Cannot open the sound device: " + reason);
    }
    // A reopened device must run at this rate: the voices were decoded for it.
    stream->spec = want;
    stream->spec.freq = have.freq;
    stream->spec.samples = have.samples;
    m_sampleRate = have.freq;
    stream->bufferFrames.store(have.samples);
    stream->markOpened();
    stream->up.store(true);
    SDL_PauseAudioDevice(stream->device, 0);
    m_stream = stream;
    m_watcher = std::thread([stream] { watch(stream); });
}

void DeviceOutput::close() {
    if (!m_stream) {
        return;
    }
    Stream& stream = *m_stream;
    std::unique_lock lock(stream.mutex);
    stream.stopping = true;
    stream.changed.notify_all();
    if (stream.changed.wait_for(lock, kCloseTimeout, [&] { return stream.finished; })) {
        lock.unlock();
        m_watcher.join();
    } else {
        // The server does not answer, and SDL waits for it to close the device. Leave that to
        // the watch thread (it keeps the stream alive) and cut the source off now.
        stream.abandoned = true;
        lock.unlock();
        m_watcher.detach();
    }
    stream.source.store(nullptr, std::memory_order_seq_cst);
    while (stream.rendering.load(std::memory_order_seq_cst) != 0) {
        std::this_thread::yield(); // a render never waits, so this ends within one buffer
    }
    stream.up.store(false);
    m_stream.reset();
    m_sampleRate = 0;
}

std::size_t DeviceOutput::bufferFrames() const noexcept {
    return m_stream ? m_stream->bufferFrames.load(std::memory_order_relaxed) : 0;
}

bool DeviceOutput::available() const noexcept {
    const Stream* stream = m_stream.get();
    if (stream == nullptr || !stream->up.load(std::memory_order_acquire)) {
        return false;
    }
    const core::TimePoint last(
        core::Clock::duration(stream->lastCallback.load(std::memory_order_relaxed)));
    return core::Clock::now() - last < kStallLimit;
}

std::uint64_t DeviceOutput::reopenCount() const noexcept {
    return m_stream ? m_stream->reopens.load(std::memory_order_relaxed) : 0;
}

// The watch thread: reopens a lost device until close() asks it to stop, then closes the
// device (which can block for as long as a frozen server does).
void DeviceOutput::watch(const std::shared_ptr<Stream>& stream) {
    std::unique_lock lock(stream->mutex);
    while (!stream->changed.wait_for(lock, kWatchPeriod, [&] { return stream->stopping; })) {
        lock.unlock();
        reopenIfLost(*stream);
        lock.lock();
    }
    lock.unlock();
    if (stream->device != 0) {
        SDL_CloseAudioDevice(stream->device);
        stream->device = 0;
    }
    lock.lock();
    if (!stream->abandoned) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    stream->finished = true;
    stream->changed.notify_all();
    lock.unlock();
    SDL_TLSCleanup(); // SDL keeps its error text per thread, and this thread is not SDL's own
}

void DeviceOutput::reopenIfLost(Stream& stream) {
    const core::TimePoint now = core::Clock::now();
    if (stream.device != 0) {
        const bool mismatch = stream.cycleMismatch();
        if (!mismatch && SDL_GetAudioDeviceStatus(stream.device) != SDL_AUDIO_STOPPED) {
            return;
        }
        stream.up.store(false);
        SDL_CloseAudioDevice(stream.device); // no callback runs after this
        stream.device = 0;
        stream.nextAttempt = now;
        stream.retryDelay = kFirstRetry;
        if (mismatch) {
            // One buffer per cycle: the device plays every frame rendered, and nothing else.
            const int cycle = stream.cycleFrames.load(std::memory_order_relaxed);
            stream.spec.samples =
                static_cast<Uint16>(std::clamp(cycle, kSmallestBuffer, kLargestBuffer));
        }
        stream.windowCallbacks = -1;
        stream.cycleFrames.store(0, std::memory_order_relaxed);
    }
    if (now < stream.nextAttempt) {
        return;
    }
    stream.rendering.fetch_add(1, std::memory_order_seq_cst); // as a render: see close()
    if (AudioSource* source = stream.source.load(std::memory_order_seq_cst)) {
        source->outputRestarted();
    }
    stream.rendering.fetch_sub(1, std::memory_order_seq_cst);
    stream.raised.store(false, std::memory_order_relaxed);
    SDL_AudioSpec want = stream.spec;
    // No changes allowed: SDL converts to whatever the server offers now.
    stream.device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
    if (stream.device == 0) {
        stream.nextAttempt = now + stream.retryDelay;
        stream.retryDelay = std::min<core::Clock::duration>(stream.retryDelay * 2, kLongestRetry);
        return;
    }
    stream.markOpened();
    stream.bufferFrames.store(stream.spec.samples);
    stream.up.store(true);
    stream.reopens.fetch_add(1, std::memory_order_relaxed);
    SDL_PauseAudioDevice(stream.device, 0);
}

} // namespace metro::sound
