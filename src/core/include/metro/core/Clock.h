#pragma once

#include <chrono>

namespace metro::core {

/// The monotonic clock that every scheduled time in the program is measured on.
/// On Linux steady_clock is CLOCK_MONOTONIC, the clock the beat timer sleeps on.
using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

} // namespace metro::core
