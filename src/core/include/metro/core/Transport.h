#pragma once

#include "metro/core/BeatPlayer.h"
#include "metro/core/MetronomeState.h"
#include "metro/core/TimerService.h"
#include "metro/core/TransportView.h"

#include <atomic>
#include <cstdint>
#include <string_view>

namespace metro::core {

/// Starts and stops the beat clock and keeps the Stopped/Running states of the controls.
/// All public calls are for the window thread, except where a comment says otherwise.
class Transport {
public:
    Transport(TimerService& timer, BeatPlayer& player, BeatDisplay& display);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    /// Connects the controls. Must be called before any other call that touches them.
    void attachView(TransportView& view) { m_view = &view; }

    /// Lets Start act. Until then (voices not yet loaded) every Start is ignored.
    void setReady(bool ready) { m_ready = ready; }
    bool ready() const { return m_ready; }

    /// Start (Command1): refuses a tempo outside 1..400 by focusing the tempo box.
    void start();
    /// Stop (Command3): kills the timer event, unlocks the settings, unlights the lamps.
    void stop();
    /// Form key-down: the space bar starts when stopped and stops when running.
    void keyDown(int keyCode);

    /// Sets the signature. Ignored while running, when the tick owns the beat fields.
    bool setFourFour(bool fourFour);
    /// Tempo box left: recomputes PeriodMs, keeping the old one when the text gives none.
    void updatePeriod(std::string_view tempoText);
    /// Window closing: kills the timer event (whatever TimerId holds) and waits for a running tick.
    void shutdown();

    const MetronomeState& state() const { return m_state; }
    /// The current run number; lamp states of any other run are stale. Any thread.
    std::uint64_t run() const { return m_run.load(std::memory_order_acquire); }

    static constexpr int kSpaceKey = 32;

private:
    void onTick(const TimerCall& call, std::uint64_t run);
    void showRunning(bool running);

    TimerService& m_timer;
    BeatPlayer& m_player;
    BeatDisplay& m_display;
    TransportView* m_view = nullptr;
    MetronomeState m_state;
    bool m_ready = false;
    std::atomic<std::uint64_t> m_run{0};
};

} // namespace metro::core
