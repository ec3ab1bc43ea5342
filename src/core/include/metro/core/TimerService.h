#pragma once

#include "metro/core/Clock.h"

#include <cstdint>
#include <functional>

namespace metro::core {

/// One call of a periodic timer event.
struct TimerCall {
    std::int32_t id = 0;
    std::int64_t index = 0; // 1 for the first call, one period after arming
    TimePoint scheduled{};  // arm time + index x period: when the call was due
};

using TimerProc = std::function<void(const TimerCall&)>;

/// A periodic timer: calls a procedure on a thread of its own, once per period, at a fixed rate,
/// the first call due one period after arming. A call may come early by a fixed `ahead`, so that
/// its work is done in time for the moment it is due; it still carries that moment. `ahead` may
/// exceed the period: the calls then come that much early all the same, in order.
class TimerService {
public:
    virtual ~TimerService() = default;
    /// Arms a periodic event whose calls come `ahead` (0 or more) before they are
    /// due. Returns its id (never 0, never reused), or 0 when it cannot be armed.
    virtual std::int32_t setEvent(std::int32_t periodMs, TimerProc proc,
                                  Clock::duration ahead = {}) = 0;
    /// Cancels an event and waits for a call that is running. Ids 0 or already killed do nothing.
    /// After it returns no new call of that event starts.
    virtual void killEvent(std::int32_t id) = 0;
};

} // namespace metro::core
