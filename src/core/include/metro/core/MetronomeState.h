#pragma once

#include <cstdint>

namespace metro::core {

/// The program-wide run-time state of the metronome. Field names are those of the form's
/// variables, which its handlers and procedures read and write by them.
///
/// Sharing rule: `CurrentBeat` and `FourFour` are read by the beat tick on the timer thread.
/// The window thread writes them only while no timer event is armed (Transport enforces this);
/// arming and killing the timer event synchronise the two threads, so no field needs to be atomic.
/// The sound device and the voices live in the sound library (SoundService, VoiceBank).
struct MetronomeState {
    std::int32_t PeriodMs = 0;    // NOLINT(readability-identifier-naming): the form's variable
    std::int32_t CurrentBeat = 0; // NOLINT(readability-identifier-naming)
    bool FourFour = false;        // NOLINT(readability-identifier-naming)
    bool IsRunning = false;       // NOLINT(readability-identifier-naming)
    std::int32_t TimerId = 0;     // NOLINT(readability-identifier-naming)

    bool operator==(const MetronomeState&) const = default;
};

/// Beats, lamps, sliders and voice slots are numbered 1..4.
inline constexpr int kBeatCount = 4;

} // namespace metro::core
