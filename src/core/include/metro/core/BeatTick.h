#pragma once

#include "metro/core/Clock.h"
#include "metro/core/MetronomeState.h"

#include <array>

namespace metro::core {

/// What one beat tick decided: which lamps are lit, which voice slot to play and when.
struct TickOutcome {
    std::array<bool, kBeatCount> lamps{}; // index 0 is the lamp of beat 1
    int slot = 0;                         // voice slot 1..4 to play
    TimePoint scheduled{};                // the tick's ideal time
    bool operator==(const TickOutcome&) const = default;
};

/// One beat: lights the lamp of CurrentBeat, names its slot to play, then advances
/// CurrentBeat with the 3/4 or 4/4 wrap. Pure: no threads, no I/O.
// NOLINTNEXTLINE(readability-identifier-naming): kept as the form's procedure name
TickOutcome BeatTick(MetronomeState& state, TimePoint scheduled);

} // namespace metro::core
