// Lamps in step with the sound. The tick pushes each beat's lamp states into the relay on the
// timer thread; the window takes them off on its own thread and shows each one at the moment
// its click leaves the speakers (the beat's scheduled time plus the output latency). The lamp
// timer wakes once per beat while running and not at all while stopped.
#include "metro/window/Form1.h"
#include "metro/window/Shape.h"

#include <QRegion>

#include <algorithm>
#include <chrono>

namespace metro::window {

namespace {
// A state due within this margin is shown now rather than after one more wake-up.
constexpr auto kEarlyMargin = std::chrono::milliseconds(1);
// How soon to look again when a beat's state is due but has not arrived yet.
constexpr auto kRetry = std::chrono::milliseconds(2);
} // namespace

// Called after every transport action: starts the lamp timer (and the sound-state check) for a
// new run, stops them after Stop.
void Form1::followTransport() {
    const core::TimePoint now = core::Clock::now();
    showSoundState();
    if (m_transport.state().IsRunning) {
        m_soundStateTimer.start();
    } else {
        m_soundStateTimer.stop();
    }
    if (m_transport.state().IsRunning && !m_lampTimer.isActive()) {
        m_nextBeat = now + std::chrono::milliseconds(m_transport.state().PeriodMs);
    }
    scheduleLamps(now);
}

void Form1::drainLamps() {
    const core::TimePoint now = core::Clock::now();
    const auto latency = m_sound.outputLatency();
    const auto period = std::chrono::milliseconds(m_transport.state().PeriodMs);
    while (const LampState* next = m_lampRelay.front()) {
        if (next->run != m_transport.run()) {
            m_lampRelay.pop(); // from a run that has ended
            continue;
        }
        if (next->scheduled + latency > now + kEarlyMargin) {
            break;
        }
        showLamps(next->lamps);
        m_nextBeat = next->scheduled + period;
        m_lampRelay.pop();
        // A beat is a good moment to check the sound too: the check's own timer then stays
        // asleep at quick tempos, one wake-up a beat instead of two.
        showSoundState();
        m_soundStateTimer.start();
    }
    scheduleLamps(now);
}

void Form1::scheduleLamps(core::TimePoint now) {
    if (!m_transport.state().IsRunning) {
        m_lampTimer.stop();
        return;
    }
    const auto latency = m_sound.outputLatency();
    core::TimePoint wake = m_nextBeat + latency;
    if (const LampState* next = m_lampRelay.front()) {
        wake = next->scheduled + latency;
    } else if (wake <= now) {
        wake = now + kRetry;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
    m_lampTimer.start(static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count())));
}

// Paints the lamps that changed at once, in one pass: a posted update would wake the window's
// loop a second time.
void Form1::showLamps(const std::array<bool, core::kBeatCount>& lamps) {
    QRegion changed;
    for (std::size_t i = 0; i < lamps.size(); ++i) {
        if (m_lamps[i]->changeLit(lamps[i])) {
            changed += m_lamps[i]->geometry();
        }
    }
    if (!changed.isEmpty()) {
        repaint(changed);
    }
}

} // namespace metro::window
