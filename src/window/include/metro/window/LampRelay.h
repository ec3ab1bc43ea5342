#pragma once

#include "metro/core/Clock.h"
#include "metro/core/MetronomeState.h"
#include "metro/core/SpscQueue.h"
#include "metro/core/TransportView.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

namespace metro::window {

/// One tick's lamp states, on their way from the timer thread to the window.
struct LampState {
    std::uint64_t run = 0;
    std::array<bool, core::kBeatCount> lamps{};
    core::TimePoint scheduled{};
};

/// Carries lamp states from the beat tick to the window without blocking the tick:
/// showBeat() on the timer thread pushes, the window thread reads with front()/pop().
class LampRelay final : public core::BeatDisplay {
public:
    /// Timer thread. Never blocks; a state that finds the queue full is counted and dropped.
    void showBeat(std::uint64_t run, const std::array<bool, core::kBeatCount>& lamps,
                  core::TimePoint scheduled) noexcept override;

    /// Window thread: the oldest state not yet shown, or nullptr.
    const LampState* front() const noexcept { return m_queue.front(); }
    /// Window thread: removes the oldest state.
    std::optional<LampState> pop() noexcept { return m_queue.try_pop(); }
    /// Any thread: states dropped because the window fell behind.
    std::uint64_t dropped() const noexcept { return m_dropped.load(std::memory_order_relaxed); }

private:
    core::SpscQueue<LampState, 64> m_queue;
    std::atomic<std::uint64_t> m_dropped{0};
};

} // namespace metro::window
