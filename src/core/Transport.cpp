#include "metro/core/Transport.h"

#include "metro/core/BeatTick.h"
#include "metro/core/TempoRule.h"

#include <string>

namespace metro::core {

Transport::Transport(TimerService& timer, BeatPlayer& player, BeatDisplay& display)
    : m_timer(timer), m_player(player), m_display(display) {}

Transport::~Transport() {
    shutdown();
}

void Transport::start() {
    if (!m_ready || m_state.IsRunning || m_view == nullptr) {
        return;
    }
    const std::string text = m_view->tempoText();
    if (!isPlayableTempo(text)) {
        m_view->focusTempo();
        return;
    }
    m_state.IsRunning = true;
    m_state.PeriodMs = PeriodFromTempo(text).value();
    m_view->setPeriodCaption(std::to_string(m_state.PeriodMs));
    m_state.CurrentBeat = 1;

    const std::uint64_t run = m_run.fetch_add(1, std::memory_order_acq_rel) + 1;
    m_player.runChanged(true);
    m_state.TimerId = m_timer.setEvent(
        m_state.PeriodMs, [this, run](const TimerCall& call) { onTick(call, run); },
        m_player.cueAhead());
    if (m_state.TimerId == 0) {
        m_state.IsRunning = false;
        m_run.fetch_add(1, std::memory_order_acq_rel);
        m_player.runChanged(false);
        m_view->reportError("The beat timer could not be started, so the metronome stays stopped.");
        return;
    }

    showRunning(true);
}

void Transport::stop() {
    if (m_view == nullptr) {
        return;
    }
    // Kills the event and marks lamp states still on their way to the window as stale.
    shutdown();
    m_player.runChanged(false);
    showRunning(false);
    for (int beat = 1; beat <= kBeatCount; ++beat) {
        m_view->setLampLit(beat, false);
    }
    m_state.IsRunning = false;
}

// Running: STOP enabled, Start and the settings locked; stopped: the other way round.
void Transport::showRunning(bool running) {
    m_view->setButtonEnabled(running ? TransportButton::Stop : TransportButton::Start, true);
    m_view->setButtonEnabled(running ? TransportButton::Start : TransportButton::Stop, false);
    m_view->setFrameEnabled(SettingsFrame::Sound, !running);
    m_view->setFrameEnabled(SettingsFrame::Tempo, !running);
    m_view->setFrameEnabled(SettingsFrame::Signature, !running);
}

void Transport::keyDown(int keyCode) {
    if (keyCode != kSpaceKey) {
        return;
    }
    if (m_state.IsRunning) {
        stop();
    } else {
        start();
    }
}

bool Transport::setFourFour(bool fourFour) {
    if (m_state.IsRunning) {
        return false;
    }
    m_state.FourFour = fourFour;
    return true;
}

void Transport::updatePeriod(std::string_view tempoText) {
    if (const auto period = PeriodFromTempo(tempoText)) {
        m_state.PeriodMs = *period;
    }
}

void Transport::shutdown() {
    m_timer.killEvent(m_state.TimerId);
    m_run.fetch_add(1, std::memory_order_acq_rel);
}

void Transport::onTick(const TimerCall& call, std::uint64_t run) {
    const TickOutcome outcome = BeatTick(m_state, call.scheduled);
    m_display.showBeat(run, outcome.lamps, outcome.scheduled);
    m_player.play(BeatCue{outcome.slot, outcome.scheduled, run});
}

} // namespace metro::core
