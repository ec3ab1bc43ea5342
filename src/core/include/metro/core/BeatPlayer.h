#pragma once

#include "metro/core/Clock.h"

#include <cstdint>

namespace metro::core {

/// One beat to sound: the voice slot, the tick's ideal time, and the run it belongs to.
/// A run is one Start..Stop; the sound side anchors its sample grid once per run.
struct BeatCue {
    int slot = 0;
    TimePoint scheduled{};
    std::uint64_t run = 0;
};

/// Where the beat tick sends its Play. Called on the timer thread only; must not block.
class BeatPlayer {
public:
    virtual ~BeatPlayer() = default;
    virtual void play(const BeatCue& cue) noexcept = 0;
    /// A run starts (its first beat comes one period later) or has stopped, so the player can
    /// wake its output or let it rest. Window thread.
    virtual void runChanged(bool /*running*/) {}
    /// How long before its scheduled time each beat should come to play(). Window thread.
    virtual Clock::duration cueAhead() const { return Clock::duration::zero(); }
};

} // namespace metro::core
