// Lamp-to-click offset: runs the real window, sound service, voices and beat timer, and for each
// beat compares the moment its lamp is painted lit with the moment its click becomes audible
// (the beat's scheduled time plus the output latency at which the mixer places the click).
// Needs a display and a sound server. Usage: lamp_offset_bench TEMPO SECONDS
#include "metro/core/PeriodicTimer.h"
#include "metro/core/Transport.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/FallbackOutput.h"
#include "metro/sound/PulseOutput.h"
#include "metro/sound/VoiceBank.h"
#include "metro/window/Form1.h"
#include "metro/window/LampRelay.h"
#include "metro/window/MetronomeApplication.h"
#include "metro/window/Shape.h"
#include "metro/window/VoiceLoader.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using metro::core::Clock;
using metro::core::TimePoint;

// Notes each beat's scheduled time on its way to the window.
class StampingDisplay final : public metro::core::BeatDisplay {
public:
    explicit StampingDisplay(metro::window::LampRelay& relay) : m_relay(relay) {}
    void showBeat(std::uint64_t run, const std::array<bool, metro::core::kBeatCount>& lamps,
                  TimePoint scheduled) noexcept override {
        const std::size_t n = m_count.load(std::memory_order_relaxed);
        if (n < m_scheduled.size()) {
            m_scheduled[n] = scheduled;
            m_count.store(n + 1, std::memory_order_release);
        }
        m_relay.showBeat(run, lamps, scheduled);
    }
    std::vector<TimePoint> scheduled() const {
        return {m_scheduled.begin(), m_scheduled.begin() + static_cast<std::ptrdiff_t>(m_count.load(
                                                               std::memory_order_acquire))};
    }

private:
    metro::window::LampRelay& m_relay;
    std::array<TimePoint, 8192> m_scheduled{};
    std::atomic<std::size_t> m_count{0};
};

// Notes when a lamp that has just been lit is painted.
class PaintWatcher final : public QObject {
public:
    explicit PaintWatcher(const QList<metro::window::Shape*>& lamps) {
        for (metro::window::Shape* lamp : lamps) {
            lamp->installEventFilter(this);
            connect(lamp, &metro::window::Shape::litChanged, this,
                    [this, lamp](bool lit) { m_pending[lamp] = lit; });
        }
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && m_pending.value(watched, false)) {
            m_pending[watched] = false;
            painted.push_back(Clock::now());
        }
        return false;
    }
    std::vector<TimePoint> painted;

private:
    QHash<QObject*, bool> m_pending;
};

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int tempo = argc > 1 ? std::atoi(argv[1]) : 400;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    metro::window::MetronomeApplication app(argc, argv);
    metro::sound::EngineSoundService sound(std::make_unique<metro::sound::FallbackOutput>(
        std::make_unique<metro::sound::PulseOutput>(),
        std::make_unique<metro::sound::DeviceOutput>()));
    metro::sound::VoiceBank bank(sound);
    metro::window::BankVoices voices(bank);
    metro::core::PeriodicTimer timer;
    metro::window::LampRelay relay;
    StampingDisplay display(relay);
    metro::core::Transport transport(timer, sound, display);
    metro::window::Form1 form(transport, sound, voices, relay);
    if (!form.Form_Load()) {
        return EXIT_FAILURE;
    }
    form.show();
    PaintWatcher watcher(
        form.findChildren<metro::window::Shape*>(QRegularExpression("^Shape[2-5]$")));
    form.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(QString::number(tempo));
    Clock::duration latency{};
    QTimer::singleShot(1000, &form, [&form, &sound, &latency] {
        latency = sound.outputLatency(); // known while the device is open
        form.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    });
    Clock::duration heardLater{};
    QTimer::singleShot(1000 + seconds * 1000, &form, [&form, &sound, &heardLater] {
        heardLater = sound.mixer()->heardLater(); // what disturbances added to the latency
        form.close();
    });
    QApplication::exec();

    const std::vector<TimePoint> scheduled = display.scheduled();
    const std::size_t n = std::min(scheduled.size(), watcher.painted.size());
    std::vector<double> offsets;
    for (std::size_t i = 0; i < n; ++i) {
        offsets.push_back(ms(watcher.painted[i] - (scheduled[i] + latency)));
    }
    if (offsets.empty()) {
        std::fprintf(stderr, "lamp_offset_bench: no beats\n");
        return 1;
    }
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    double worst = 0;
    for (const double o : offsets) {
        worst = std::max(worst, std::abs(o));
    }
    std::printf("lamp painted minus click audible, %d BPM, %zu beats (%zu lamp states, output "
                "latency %.1f ms, heard later by %.1f ms at the end): median %+.2f ms, 5%% %+.2f "
                "ms, 95%% %+.2f ms, worst |%.2f| ms\n",
                tempo, n, scheduled.size(), ms(latency), ms(heardLater), sorted[n / 2],
                sorted[n / 20], sorted[n * 19 / 20], worst);
    return 0;
}
