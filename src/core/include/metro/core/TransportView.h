#pragma once

#include "metro/core/Clock.h"
#include "metro/core/MetronomeState.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace metro::core {

enum class TransportButton { Start, Stop };           // Command1, Command3
enum class SettingsFrame { Sound, Tempo, Signature }; // Frame1, Frame2, Frame3

/// The controls the transport drives. Implemented by the window (Qt) and by test fakes.
/// Every call comes from the window thread.
class TransportView {
public:
    virtual ~TransportView() = default;
    virtual std::string tempoText() const = 0;
    /// Gives the tempo box the keyboard focus with its whole text selected.
    virtual void focusTempo() = 0;
    virtual void setPeriodCaption(std::string_view digits) = 0; // hidden Label6
    virtual void setButtonEnabled(TransportButton button, bool enabled) = 0;
    virtual void setFrameEnabled(SettingsFrame frame, bool enabled) = 0;
    virtual void setLampLit(int beat, bool lit) = 0; // beat 1..4
    /// Tells the user that something failed; the state stays as it was.
    virtual void reportError(std::string_view message) = 0;
};

/// Receives the lamp states of each tick. Called on the timer thread; must not block.
/// The window shows them later on its own thread, and drops those whose run is over.
class BeatDisplay {
public:
    virtual ~BeatDisplay() = default;
    virtual void showBeat(std::uint64_t run, const std::array<bool, kBeatCount>& lamps,
                          TimePoint scheduled) noexcept = 0;
};

} // namespace metro::core
