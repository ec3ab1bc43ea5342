#pragma once

#include "metro/core/TimerService.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace metro::core {

/// The program's periodic timer: one thread per armed event, sleeping to absolute deadlines on
/// the monotonic clock (arm time + n x period), so it cannot drift. After a stall longer than a
/// period the missed calls are dropped, not fired in a burst, and the grid is kept.
/// setEvent and killEvent may be called from any thread, killEvent also from the event's own call.
class PeriodicTimer final : public TimerService {
public:
    PeriodicTimer() = default;
    ~PeriodicTimer() override;
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    std::int32_t setEvent(std::int32_t periodMs, TimerProc proc,
                          Clock::duration ahead = {}) override;
    void killEvent(std::int32_t id) override;

    /// Calls dropped after stalls, over all events so far.
    std::int64_t droppedCalls() const;

private:
    struct Event;
    static void runEvent(const std::shared_ptr<Event>& event);
    static void stopEvent(Event& event);

    mutable std::mutex m_mutex;
    std::map<std::int32_t, std::shared_ptr<Event>> m_events;
    std::int32_t m_nextId = 1;
    std::shared_ptr<std::atomic<std::int64_t>> m_dropped =
        std::make_shared<std::atomic<std::int64_t>>(0);
};

} // namespace metro::core
