#include "metro/core/BeatTick.h"

namespace metro::core {

TickOutcome BeatTick(MetronomeState& state, TimePoint scheduled) {
    TickOutcome outcome;
    for (int beat = 1; beat <= kBeatCount; ++beat) {
        outcome.lamps[static_cast<std::size_t>(beat - 1)] = state.CurrentBeat == beat;
    }
    outcome.slot = state.CurrentBeat;
    outcome.scheduled = scheduled;

    state.CurrentBeat += 1;
    if (!state.FourFour && state.CurrentBeat > 3) {
        state.CurrentBeat = 1;
    }
    if (state.CurrentBeat > kBeatCount) {
        state.CurrentBeat = 1;
    }
    return outcome;
}

} // namespace metro::core
