#include "metro/sound/PulseOutput.h"

#include "metro/sound/SoundService.h"

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>

namespace metro::sound {

namespace {

using namespace std::chrono_literals;
using core::Clock;

constexpr int kFallbackRate = 48000;
constexpr std::size_t kFrameBytes = 2 * sizeof(float);
/// What the server holds: enough that a busy machine does not run it dry. Beats are handed over
/// cueAhead() before their time, so that one placed placementLead() after it still lands on
/// frames not yet written. PulseAudio wakes this thread for each request for sound and again as it
/// frees each block written, so the requests are large. PipeWire's pulse server runs its graph in
/// cycles as long as the requests and reports no sink latency for them (with 40 ms requests every
/// click came about 40 ms after its stamp; with 200 ms held the first click came 60 ms later), so
/// it keeps a small buffer.
struct Buffering {
    Clock::duration held;    // the stream's target length in the server
    Clock::duration request; // the least the server asks for at a time
    /// After a move, while the stream's line is unknown, write only what starts it, and the rest
    /// once the line is known: then beats can go in the rest. Where what starts it plays out
    /// before a line can be known (PipeWire's 40 ms), write it all.
    bool waitForLine;
    /// How long after its time a beat is placed; the sooner, the sooner the first click after
    /// Start. Beats go early enough that kCueMargin is left (see cueAhead()).
    Clock::duration lead;
};
constexpr Buffering kPulseAudioBuffering{240ms, 120ms, true, 120ms};
constexpr Buffering kPipeWireBuffering{60ms, 20ms, false, 90ms};
/// Room for the beat timer's lateness between a beat's handing over and its frames' writing.
/// On a machine with every core busy, every thread here, real-time ones too, was held up to
/// about 100 ms at a time; with 240 ms held, beats go 270 ms ahead.
constexpr auto kCueMargin = 150ms;
/// How often the server's timing info is asked for while playing, and how long an uncorked
/// stream may go without a request for sound before it counts as lost (a new one: kStartGrace).
constexpr auto kTimingPeriod = 200ms;
/// An origin this far off the median of the last ones is off the stream's line; two that far
/// off and this close to each other are its new line.
constexpr auto kOriginStep = 2ms;
constexpr auto kOriginJitter = 1ms;
/// Reports a stream's line needs before one can lie off it.
constexpr std::size_t kSettledOrigins = 3;
/// A new line (after a start, a move, a run dry or a step) needs two reports this far apart
/// that agree: one report alone cannot show a server catching up after a stall, which reads
/// faster than time, and pipewire-pulse's first one after a start or a move came 37 ms early.
/// The second is asked for with the first request for sound after that, as every report is:
/// pipewire-pulse's reports lie about 4 ms later when asked for between its requests. Where no
/// request comes (PulseAudio asks every 120 ms), a timer asks after kConfirmLatest.
constexpr auto kConfirmAfter = 10ms;
constexpr auto kConfirmLatest = 30ms;
/// A request's rest held back for the line is written this long after at the latest, line or
/// not: well before what starts the stream (120 ms) runs out.
constexpr auto kFillBy = 50ms;
constexpr auto kStallLimit = 250ms;
constexpr auto kStartGrace = 3s;
/// Silence after Stop before the stream is corked: the last beats play out first.
constexpr auto kCorkAfter = 300ms;
constexpr auto kConnectTimeout = 3s;
constexpr auto kFirstRetry = 100ms;
constexpr auto kLongestRetry = 250ms;
/// Real-time priority of the rendering thread: above the beat timer's, below the server's.
constexpr int kPriorityAboveMin = 2;

// libpulse's loop lock, told to ThreadSanitizer, which does not see inside libpulse: our code
// runs under it in every callback and wherever the window thread takes it.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address); // NOLINT: sanitizer interface
extern "C" void __tsan_release(void* address); // NOLINT: sanitizer interface
void seenLocked(pa_threaded_mainloop* loop) {
    __tsan_acquire(loop);
}
void seenUnlocked(pa_threaded_mainloop* loop) {
    __tsan_release(loop);
}
#else
void seenLocked(pa_threaded_mainloop* /*loop*/) {}
void seenUnlocked(pa_threaded_mainloop* /*loop*/) {}
#endif

/// Holds the loop's lock for a scope: taken here, or held by libpulse around a callback.
class LoopLock {
public:
    LoopLock(pa_threaded_mainloop* loop, bool take) : m_loop(loop), m_take(take) {
        if (m_take) {
            pa_threaded_mainloop_lock(m_loop);
        }
        seenLocked(m_loop);
    }
    ~LoopLock() {
        seenUnlocked(m_loop);
        if (m_take) {
            pa_threaded_mainloop_unlock(m_loop);
        }
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
    bool m_take;
};

/// Waits (the loop locked) until `done`, up to kConnectTimeout; false when the time is up.
template <typename Done> bool waitFor(pa_threaded_mainloop* loop, Done done) {
    const auto deadline = Clock::now() + kConnectTimeout;
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        seenUnlocked(loop);
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(5ms);
        pa_threaded_mainloop_lock(loop);
        seenLocked(loop);
    }
    return true;
}

Clock::rep ticks(Clock::time_point time) {
    return time.time_since_epoch().count();
}

std::uint32_t bytesFor(Clock::duration span, int rate) {
    return static_cast<std::uint32_t>(std::chrono::duration<double>(span).count() * rate) *
           static_cast<std::uint32_t>(kFrameBytes);
}

bool within(Clock::time_point a, Clock::time_point b, Clock::duration span) {
    return a - b < span && b - a < span;
}

/// A time of the server's (the wall clock) on the monotonic clock.
Clock::time_point monotonicFromWall(const timeval& wall) {
    timespec realNow{};
    clock_gettime(CLOCK_REALTIME, &realNow);
    const auto sinceWall = std::chrono::seconds(realNow.tv_sec - wall.tv_sec) +
                           std::chrono::nanoseconds(realNow.tv_nsec) -
                           std::chrono::microseconds(wall.tv_usec);
    return Clock::now() - std::chrono::duration_cast<Clock::duration>(sinceWall);
}

} // namespace

struct PulseOutput::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* retry = nullptr;
    pa_time_event* confirm = nullptr; // asks for timing again, to confirm a new line
    AudioSource* source = nullptr;
    int rate = kFallbackRate; // the default sink's
    bool onPipeWire = false;  // the server is PipeWire's pulse server

    // Shared with other threads.
    std::atomic<bool> connected{false};
    std::atomic<bool> isCorked{true};
    std::atomic<bool> active{false};
    std::atomic<Clock::rep> lastRequest{0}; // the latest request for sound, or a start grace
    std::atomic<std::uint64_t> reconnectCount{0};
    std::atomic<std::uint64_t> underflowCount{0};
    std::atomic<std::uint64_t> moveCount{0};

    // The loop's thread (or the window's while it holds the loop's lock).
    bool closing = false;
    bool wasLost = false;
    bool raised = false;
    bool playing = false;              // started, and not run dry or corked since
    bool stepNext = false;             // the next stamps are off the last ones (ran dry, moved)
    std::int64_t written = 0;          // frames rendered since open, across streams
    std::int64_t streamBase = 0;       // `written` when the current stream began
    bool holdBack = false;             // moved: write what starts the stream, the rest once on line
    std::size_t sinceEmpty = 0;        // bytes written since the queue emptied (moved, ran dry)
    Clock::time_point heldBackSince{}; // part of a request waits for the line, since then
    Clock::time_point lastTiming{};
    Clock::time_point silentSince{};
    pa_operation* timingRequest = nullptr;
    Clock::duration retryDelay = kFirstRetry;

    void grace() { lastRequest.store(ticks(Clock::now() + kStartGrace)); }
    const Buffering& buffering() const {
        return onPipeWire ? kPipeWireBuffering : kPulseAudioBuffering;
    }

    // Connects a new context; the state callback goes on from there.
    bool connect() {
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Qo Metronome");
        if (context == nullptr) {
            return false;
        }
        pa_context_set_state_callback(context, &Impl::onContextState, this);
        return pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    }

    bool makeStream() {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(rate), 2};
        stream = pa_stream_new(context, "Metronome", &spec, nullptr);
        if (stream == nullptr) {
            return false;
        }
        pa_stream_set_state_callback(stream, &Impl::onStreamState, this);
        pa_stream_set_write_callback(stream, &Impl::onWrite, this);
        pa_stream_set_started_callback(stream, &Impl::onStarted, this);
        pa_stream_set_underflow_callback(stream, &Impl::onUnderflow, this);
        pa_stream_set_moved_callback(stream, &Impl::onMoved, this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = bytesFor(buffering().held, rate);
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = bytesFor(buffering().request, rate);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        const bool cork = !active.load();
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                          (cork ? PA_STREAM_START_CORKED : 0));
        streamBase = written;
        playing = false;
        holdBack = false;
        origins.clear();
        isCorked.store(cork);
        grace();
        return pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) >= 0;
    }

    void dropStream() {
        if (timingRequest != nullptr) {
            pa_operation_cancel(timingRequest);
            pa_operation_unref(timingRequest);
            timingRequest = nullptr;
        }
        if (stream != nullptr) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_set_started_callback(stream, nullptr, nullptr);
            pa_stream_set_underflow_callback(stream, nullptr, nullptr);
            pa_stream_set_moved_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            stream = nullptr;
        }
    }

    void dropContext() {
        dropStream();
        if (context != nullptr) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
    }

    // The server went away (or never answered): tell the source and try again shortly.
    void lost() {
        connected.store(false);
        wasLost = true;
        dropContext();
        if (closing || source == nullptr) {
            return;
        }
        source->outputRestarted();
        scheduleRetry();
    }

    void scheduleRetry() {
        schedule(retry, retryDelay, &Impl::onRetry);
        retryDelay = std::min<Clock::duration>(retryDelay * 2, kLongestRetry);
    }

    /// Arms `event` (made on first use) to call `call` on the loop after `delay`.
    void schedule(pa_time_event*& event, Clock::duration delay, pa_time_event_cb_t call) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        timeval at{};
        pa_gettimeofday(&at);
        pa_timeval_add(&at,
                       static_cast<pa_usec_t>(
                           std::chrono::duration_cast<std::chrono::microseconds>(delay).count()));
        if (event == nullptr) {
            event = api->time_new(api, &at, call, this);
        } else {
            api->time_restart(event, &at);
        }
    }

    // Something changed what the timing info says: ask for it again (an answer already on its
    // way tells of the time before), and use none till then.
    void timingChanged() {
        origins.clear();
        if (timingRequest != nullptr) {
            pa_operation_cancel(timingRequest);
        }
        requestTiming();
    }

    bool hasLine() const { return playing && !origins.empty(); }

    /// Writes what the server asked for and was held back for the line, and holds back no more.
    void fillHeldBack() {
        holdBack = false;
        const std::size_t rest = pa_stream_writable_size(stream);
        if (rest != static_cast<std::size_t>(-1)) {
            render(rest);
        }
    }

    void requestTiming() {
        if (timingRequest != nullptr) {
            if (pa_operation_get_state(timingRequest) == PA_OPERATION_RUNNING) {
                return;
            }
            pa_operation_unref(timingRequest);
        }
        timingRequest = pa_stream_update_timing_info(stream, &Impl::onTiming, this);
        lastTiming = Clock::now();
    }

    /// When the frame `frame` (counted since open) plays, or TimePoint{} while unknown.
    Clock::time_point stampFor(std::int64_t frame) const {
        if (!hasLine()) {
            return {};
        }
        return origins.median() +
               std::chrono::duration_cast<Clock::duration>(
                   std::chrono::duration<double>(static_cast<double>(frame - streamBase) / rate));
    }

    /// Notes when the stream's first frame played by the latest timing info.
    void takeTiming() {
        const pa_timing_info* info = pa_stream_get_timing_info(stream);
        if (info == nullptr || info->read_index_corrupt || info->write_index_corrupt ||
            info->playing == 0) {
            return;
        }
        // The stream's index of our next frame: behind our count by what a flush dropped.
        streamBase = written - info->write_index / static_cast<std::int64_t>(kFrameBytes);
        // Frame read_index left the server at the report's timestamp (the server's clock as it
        // answered, on this machine); it plays after the sink's latency. The request's transport
        // time is left out: it only says how long the request waited, which grows with load.
        const double read = static_cast<double>(info->read_index) / kFrameBytes;
        const double delay = static_cast<double>(info->sink_usec) * 1e-6 - read / rate;
        const Clock::time_point at = monotonicFromWall(info->timestamp);
        const Clock::time_point origin =
            at + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
        playing = true;
        const Origins::Taken taken = origins.take(origin, at);
        if (taken == Origins::Taken::Held) {
            schedule(confirm, kConfirmLatest, &Impl::onConfirm);
            return;
        }
        if (holdBack) {
            fillHeldBack();
        }
        if (confirm != nullptr) {
            pa_threaded_mainloop_get_api(loop)->time_restart(confirm, nullptr); // not needed now
        }
        if (taken == Origins::Taken::Step) {
            stepNext = true; // the source hears of it with the next frames
        }
    }

    /// The latest few origins since the stream last changed. A server's report can be a few
    /// milliseconds off now and then (PipeWire's pulse server's are), so stamps go by their
    /// median.
    struct Origins {
        static constexpr std::size_t kCount = 5;
        std::array<Clock::time_point, kCount> times{};
        std::size_t size = 0;
        std::size_t next = 0;
        void add(Clock::time_point time) {
            times[next] = time;
            next = (next + 1) % kCount;
            size = std::min(size + 1, kCount);
        }
        void clear() { size = next = offCount = 0; }
        bool empty() const { return size == 0; }

        enum class Taken { OnLine, Held, Step };
        /// Takes the origin of a report made at `at`. One off the line is an outlier, or the
        /// stream lost or gained time without a word (PipeWire's pulse server does not report
        /// the cycles its graph missed): it is held, and a later one agreeing with one of the
        /// last few held, at least kConfirmAfter later, makes the two a new line. With no line
        /// yet, every report is off it. (Where the server moves its read index once a long
        /// cycle, reports asked at different phases of the cycle give different origins, in
        /// turns: only those of one phase agree.)
        Taken take(Clock::time_point origin, Clock::time_point at) {
            const bool hasLine = !empty();
            if (hasLine && (size < kSettledOrigins || within(origin, median(), kOriginStep))) {
                offCount = 0;
                add(origin);
                return Taken::OnLine;
            }
            for (std::size_t i = 0; i < offCount; ++i) {
                if (within(origin, off[i].origin, kOriginJitter) &&
                    at - off[i].at >= kConfirmAfter) {
                    const Clock::time_point first = off[i].origin;
                    clear();
                    add(first);
                    add(origin);
                    return hasLine ? Taken::Step : Taken::OnLine;
                }
            }
            // The latest first: the oldest drops out.
            std::copy_backward(off.begin(), off.end() - 1, off.end());
            off[0] = Report{origin, at};
            offCount = std::min(offCount + 1, off.size());
            return Taken::Held;
        }
        bool offLine() const { return offCount > 0; }
        /// A held report awaits another, and one asked for now would be far enough from it.
        bool confirmDue(Clock::time_point now) const {
            return offLine() && now - off[0].at >= kConfirmAfter;
        }
        struct Report {
            Clock::time_point origin;
            Clock::time_point at;
        };
        /// The latest reports off the line, the latest first: enough, asked every 30 ms, to span
        /// a cycle of 8192 frames (170 ms), PipeWire's longest.
        std::array<Report, 8> off{};
        std::size_t offCount = 0;
        Clock::time_point median() const {
            std::array<Clock::time_point, kCount> sorted = times;
            const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(size / 2);
            std::nth_element(sorted.begin(), middle,
                             sorted.begin() + static_cast<std::ptrdiff_t>(size));
            return *middle;
        }
    } origins;

    void render(std::size_t bytes) noexcept;
    void corkIfDone(bool silent);

    static void onContextState(pa_context* context, void* self) noexcept;
    static void onStreamState(pa_stream* stream, void* self) noexcept;
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self) noexcept;
    static void onStarted(pa_stream* stream, void* self) noexcept;
    static void onUnderflow(pa_stream* stream, void* self) noexcept;
    static void onMoved(pa_stream* stream, void* self) noexcept;
    static void onTiming(pa_stream* stream, int success, void* self) noexcept;
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                           void* self) noexcept;
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self) noexcept;
    std::string start(AudioSource& output);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval* when,
                        void* self) noexcept;
    static void onConfirm(pa_mainloop_api* api, pa_time_event* event, const timeval* when,
                          void* self) noexcept;
};

void PulseOutput::Impl::onContextState(pa_context* context, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (impl.source != nullptr && impl.stream == nullptr) { // connected again
            if (!impl.makeStream()) {
                impl.lost();
            }
        }
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        if (impl.source != nullptr) {
            impl.lost();
        }
        break;
    default:
        break;
    }
    pa_threaded_mainloop_signal(impl.loop, 0);
}

void PulseOutput::Impl::onStreamState(pa_stream* stream, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        if (impl.wasLost) {
            impl.wasLost = false;
            impl.retryDelay = kFirstRetry;
            impl.reconnectCount.fetch_add(1);
        }
        impl.connected.store(true);
    } else if (state == PA_STREAM_FAILED && impl.source != nullptr) {
        impl.lost();
    }
    pa_threaded_mainloop_signal(impl.loop, 0);
}

void PulseOutput::Impl::onRetry(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                                const timeval* /*when*/, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    if (impl.closing || impl.context != nullptr) {
        return;
    }
    if (!impl.connect()) {
        impl.lost();
    }
}

void PulseOutput::Impl::onConfirm(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                                  const timeval* /*when*/, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    if (impl.closing || impl.stream == nullptr) {
        return;
    }
    if (impl.holdBack && impl.heldBackSince != Clock::time_point{} &&
        Clock::now() - impl.heldBackSince >= kFillBy) {
        impl.fillHeldBack(); // no line yet: the stream must not run dry for want of one
    }
    if (impl.origins.offLine()) {
        impl.requestTiming();
    }
}

void PulseOutput::Impl::onWrite(pa_stream* /*stream*/, std::size_t bytes, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    impl.render(bytes);
}

// Renders what the server asks for, each piece stamped with when its first frame plays.
void PulseOutput::Impl::render(std::size_t bytes) noexcept {
    if (!raised) {
        // A busy machine must not starve the stream: run above normal threads where allowed.
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO) + kPriorityAboveMin;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param); // quietly normal if refused
        raised = true;
    }
    const Clock::time_point now = Clock::now();
    lastRequest.store(std::max(lastRequest.load(std::memory_order_relaxed), ticks(now)),
                      std::memory_order_relaxed);
    const pa_buffer_attr* attr =
        holdBack && !hasLine() ? pa_stream_get_buffer_attr(stream) : nullptr;
    if (attr != nullptr) {
        const std::size_t room = attr->prebuf > sinceEmpty ? attr->prebuf - sinceEmpty : 0;
        if (room < bytes) {
            bytes = room;
            if (heldBackSince == Clock::time_point{}) {
                heldBackSince = now;
            }
        }
    }
    while (bytes >= kFrameBytes) {
        void* data = nullptr;
        std::size_t size = bytes;
        if (pa_stream_begin_write(stream, &data, &size) < 0 || data == nullptr) {
            return;
        }
        const std::size_t frames = std::min(size, bytes) / kFrameBytes;
        if (frames == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        if (stepNext && hasLine()) {
            stepNext = false;
            source->outputStepped();
        }
        source->render(static_cast<float*>(data), frames, stampFor(written));
        pa_stream_write(stream, data, frames * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE);
        sinceEmpty += frames * kFrameBytes;
        written += static_cast<std::int64_t>(frames);
        bytes -= frames * kFrameBytes;
    }
    if (now - lastTiming >= kTimingPeriod || origins.confirmDue(now)) {
        requestTiming();
    }
    corkIfDone(source->silent());
}

// After Stop, once nothing has sounded for a while, the stream rests (corked) until Start.
void PulseOutput::Impl::corkIfDone(bool silent) {
    const Clock::time_point now = Clock::now();
    if (active.load() || !silent) {
        silentSince = {};
        return;
    }
    if (silentSince == Clock::time_point{}) {
        silentSince = now;
    } else if (now - silentSince >= kCorkAfter) {
        pa_operation* cork = pa_stream_cork(stream, 1, nullptr, nullptr);
        if (cork != nullptr) {
            pa_operation_unref(cork);
        }
        isCorked.store(true);
        playing = false;
        silentSince = {};
    }
}

void PulseOutput::Impl::onStarted(pa_stream* /*stream*/, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    impl.playing = true;
    impl.timingChanged();
}

void PulseOutput::Impl::onUnderflow(pa_stream* /*stream*/, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    impl.underflowCount.fetch_add(1);
    impl.playing = false;
    impl.sinceEmpty = 0;  // it takes what starts it again
    impl.stepNext = true; // the silence it plays moves every later frame
    impl.timingChanged();
}

// Another device, with its own latency and clock. What was queued for the old one may be
// played there in part, or skipped, so it is dropped: the stream starts afresh on the new device,
// and the source places its beats anew, never sooner than its grid.
void PulseOutput::Impl::onMoved(pa_stream* stream, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    impl.moveCount.fetch_add(1);
    pa_operation* flush = pa_stream_flush(stream, nullptr, nullptr);
    if (flush != nullptr) {
        pa_operation_unref(flush);
    }
    impl.playing = false;
    impl.stepNext = false;
    impl.holdBack = impl.buffering().waitForLine && !impl.isCorked.load();
    impl.sinceEmpty = 0;
    impl.heldBackSince = {};
    impl.source->outputRestarted();
    impl.timingChanged();
}

void PulseOutput::Impl::onTiming(pa_stream* /*stream*/, int success, void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    if (success != 0) {
        impl.takeTiming();
    }
}

PulseOutput::PulseOutput() : m_impl(std::make_unique<Impl>()) {}

PulseOutput::~PulseOutput() {
    close();
}

void PulseOutput::open(AudioSource& source) {
    close();
    m_impl = std::make_unique<Impl>();
    Impl& impl = *m_impl;
    impl.loop = pa_threaded_mainloop_new();
    if (impl.loop == nullptr || pa_threaded_mainloop_start(impl.loop) < 0) {
        close();
        throw SoundError("Cannot start the sound system: no libpulse main loop");
    }
    std::string failure;
    {
        const LoopLock lock(impl.loop, true);
        failure = impl.start(source);
    }
    if (!failure.empty()) {
        close();
        throw SoundError("Cannot open the sound device: " + failure);
    }
}

// Connects, learns the default sink's rate and makes the stream; what failed, or "".
std::string PulseOutput::Impl::start(AudioSource& output) {
    const auto contextState = [&] { return pa_context_get_state(context); };
    if (!connect() ||
        !waitFor(loop,
                 [&] {
                     return !PA_CONTEXT_IS_GOOD(contextState()) ||
                            contextState() == PA_CONTEXT_READY;
                 }) ||
        contextState() != PA_CONTEXT_READY) {
        return context != nullptr ? pa_strerror(pa_context_errno(context)) : "no context";
    }
    // The default sink's own rate, so that every frame written is a frame played, and which
    // server this is.
    for (pa_operation* query :
         {pa_context_get_sink_info_by_name(context, "@DEFAULT_SINK@", &Impl::onSinkInfo, this),
          pa_context_get_server_info(context, &Impl::onServerInfo, this)}) {
        if (query != nullptr) {
            waitFor(loop, [&] { return pa_operation_get_state(query) != PA_OPERATION_RUNNING; });
            pa_operation_unref(query);
        }
    }
    source = &output;
    const auto streamState = [&] { return pa_stream_get_state(stream); };
    if (!makeStream() ||
        !waitFor(loop,
                 [&] {
                     return !PA_STREAM_IS_GOOD(streamState()) || streamState() == PA_STREAM_READY;
                 }) ||
        streamState() != PA_STREAM_READY) {
        return pa_strerror(pa_context_errno(context));
    }
    return {};
}

void PulseOutput::Impl::onSinkInfo(pa_context* /*context*/, const pa_sink_info* info, int eol,
                                   void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    if (eol == 0 && info != nullptr && info->sample_spec.rate > 0) {
        impl.rate = static_cast<int>(info->sample_spec.rate);
    }
}

void PulseOutput::Impl::onServerInfo(pa_context* /*context*/, const pa_server_info* info,
                                     void* self) noexcept {
    auto& impl = *static_cast<Impl*>(self);
    const LoopLock held(impl.loop, false);
    impl.onPipeWire =
        info != nullptr && info->server_name != nullptr &&
        std::string_view(info->server_name).find("PipeWire") != std::string_view::npos;
}

void PulseOutput::close() {
    Impl& impl = *m_impl;
    if (impl.loop == nullptr) {
        return;
    }
    {
        const LoopLock lock(impl.loop, true);
        impl.closing = true;
        impl.dropContext();
        for (pa_time_event** event : {&impl.retry, &impl.confirm}) {
            if (*event != nullptr) {
                pa_threaded_mainloop_get_api(impl.loop)->time_free(*event);
                *event = nullptr;
            }
        }
        impl.source = nullptr;
    }
    pa_threaded_mainloop_stop(impl.loop);
    pa_threaded_mainloop_free(impl.loop);
    impl.loop = nullptr;
    impl.connected.store(false);
}

int PulseOutput::sampleRate() const {
    return m_impl->loop != nullptr ? m_impl->rate : 0;
}

std::size_t PulseOutput::bufferFrames() const {
    return static_cast<std::size_t>(bytesFor(m_impl->buffering().request, m_impl->rate) /
                                    kFrameBytes);
}

bool PulseOutput::available() const noexcept {
    const Impl& impl = *m_impl;
    if (!impl.connected.load()) {
        return false;
    }
    const Clock::time_point last(Clock::duration(impl.lastRequest.load()));
    return impl.isCorked.load() || Clock::now() - last < kStallLimit;
}

core::Clock::duration PulseOutput::placementLead() const {
    return m_impl->buffering().lead;
}

core::Clock::duration PulseOutput::cueAhead() const {
    const Buffering& buffering = m_impl->buffering();
    return std::max(buffering.held + kCueMargin - buffering.lead, Clock::duration::zero());
}

void PulseOutput::setActive(bool running) {
    Impl& impl = *m_impl;
    if (impl.loop == nullptr) {
        return;
    }
    const LoopLock lock(impl.loop, true);
    impl.active.store(running);
    if (running && impl.stream != nullptr && impl.isCorked.load()) {
        pa_operation* uncork = pa_stream_cork(impl.stream, 0, nullptr, nullptr);
        if (uncork != nullptr) {
            pa_operation_unref(uncork);
        }
        impl.isCorked.store(false);
        impl.grace();
        impl.timingChanged();
    }
}

std::uint64_t PulseOutput::reconnects() const noexcept {
    return m_impl->reconnectCount.load();
}

std::uint64_t PulseOutput::underflows() const noexcept {
    return m_impl->underflowCount.load();
}

std::uint64_t PulseOutput::moves() const noexcept {
    return m_impl->moveCount.load();
}

bool PulseOutput::corked() const noexcept {
    return m_impl->isCorked.load();
}

} // namespace metro::sound
