#include "metro/window/LampRelay.h"

namespace metro::window {

void LampRelay::showBeat(std::uint64_t run, const std::array<bool, core::kBeatCount>& lamps,
                         core::TimePoint scheduled) noexcept {
    if (!m_queue.try_push(LampState{run, lamps, scheduled})) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace metro::window
