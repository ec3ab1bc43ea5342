#include "metro/core/PeriodicTimer.h"

#include <algorithm>
#include <condition_variable>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <system_error>
#include <thread>

namespace metro::core {

struct PeriodicTimer::Event {
    std::int32_t id = 0;
    Clock::duration period{};
    Clock::duration ahead{};
    TimePoint armed{};
    TimerProc proc;
    std::shared_ptr<std::atomic<std::int64_t>> dropped;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

namespace {
// The finest timing the platform gives a normal process: 1 ns timer slack, and a real-time
// priority when the system allows it (quietly kept at normal priority when it does not).
void tuneTimerThread() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    pthread_setname_np(pthread_self(), "metro-beat");
}
} // namespace

PeriodicTimer::~PeriodicTimer() {
    std::map<std::int32_t, std::shared_ptr<Event>> events;
    {
        const std::lock_guard lock(m_mutex);
        events.swap(m_events);
    }
    for (auto& [id, event] : events) {
        stopEvent(*event);
    }
}

void PeriodicTimer::stopEvent(Event& event) {
    {
        const std::lock_guard lock(event.mutex);
        event.stop = true;
    }
    event.wake.notify_all();
    if (event.thread.get_id() == std::this_thread::get_id()) {
        // Stopped from its own call: that call returns to a loop that sees stop and ends.
        event.thread.detach();
    } else if (event.thread.joinable()) {
        event.thread.join();
    }
}

std::int32_t PeriodicTimer::setEvent(std::int32_t periodMs, TimerProc proc, Clock::duration ahead) {
    if (periodMs <= 0 || !proc) {
        return 0;
    }
    auto event = std::make_shared<Event>();
    event->period = std::chrono::milliseconds(periodMs);
    event->ahead = std::max(ahead, Clock::duration::zero());
    event->proc = std::move(proc);
    event->dropped = m_dropped;

    const std::lock_guard lock(m_mutex);
    event->id = m_nextId;
    event->armed = Clock::now();
    try {
        // The event's own mutex is held until the thread handle is stored, so the thread
        // never reads a half-built Event.
        const std::lock_guard eventLock(event->mutex);
        event->thread = std::thread([event] { runEvent(event); });
    } catch (const std::system_error&) {
        return 0;
    }
    m_events.emplace(event->id, event);
    ++m_nextId;
    return event->id;
}

void PeriodicTimer::killEvent(std::int32_t id) {
    std::shared_ptr<Event> event;
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_events.find(id);
        if (found == m_events.end()) {
            return;
        }
        event = found->second;
        m_events.erase(found);
    }
    stopEvent(*event);
}

std::int64_t PeriodicTimer::droppedCalls() const {
    return m_dropped->load(std::memory_order_relaxed);
}

void PeriodicTimer::runEvent(const std::shared_ptr<Event>& event) {
    tuneTimerThread();
    std::unique_lock lock(event->mutex);
    std::int64_t index = 1;
    while (true) {
        TimePoint due = event->armed + index * event->period;
        // An absolute deadline on the monotonic clock: lateness never accumulates. The kernel
        // wakes a sleeper about 100 us late here; each call carries its ideal time, from which
        // the sound is placed, so that lateness is not worth a spin.
        if (event->wake.wait_until(lock, due - event->ahead, [&] { return event->stop; })) {
            return;
        }
        const TimePoint now = Clock::now();
        if (now - due >= event->period) {
            // Stalled past whole periods: skip to the latest due call, keep the grid. A call
            // woken late but still due, thanks to `ahead`, is made.
            const std::int64_t latest = (now - event->armed) / event->period;
            event->dropped->fetch_add(latest - index, std::memory_order_relaxed);
            index = latest;
            due = event->armed + index * event->period;
        }
        lock.unlock();
        event->proc(TimerCall{event->id, index, due});
        lock.lock();
        ++index;
    }
}

} // namespace metro::core
