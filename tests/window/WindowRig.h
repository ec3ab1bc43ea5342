#pragma once

#include "metro/core/Transport.h"
#include "metro/window/Form1.h"
#include "metro/window/LampRelay.h"
#include "metro/window/MetronomeApplication.h"
#include "metro/window/Shape.h"
#include "metro/window/VoiceLoader.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace metro::window::test {

using Log = std::vector<std::string>;
using Volumes = std::vector<std::pair<int, sound::Level>>;

// The window over a sound service, voices and a beat timer that record what they are asked to
// do. The timer ticks only when the test calls fire(); loading `failing` throws.
struct Rig final : sound::SoundService, VoiceLoader, core::TimerService {
    void open() override {
        if (failOpen) {
            throw sound::SoundError("no sound device");
        }
        log.emplace_back("open device");
    }
    void close() override { log.emplace_back("close device"); }
    int sampleRate() const override { return 48000; }
    core::Clock::duration outputLatency() const override { return latency; }
    void createVoice(int slot, std::shared_ptr<const sound::SampleSet>) override {
        filled.at(static_cast<std::size_t>(slot)) = true;
    }
    void releaseVoice(int slot) override { filled.at(static_cast<std::size_t>(slot)) = false; }
    bool hasVoice(int slot) const override { return filled.at(static_cast<std::size_t>(slot)); }
    void setVolume(int slot, sound::Level level) override {
        QVERIFY2(hasVoice(slot), "a level reached an empty slot");
        volumes.emplace_back(slot, level);
    }
    void play(const core::BeatCue&) noexcept override {}
    void load(sound::VoiceSound sound) override {
        const std::string file = sound == sound::VoiceSound::HiHat ? "hat.wav" : "click.wav";
        if (sound == failing) {
            throw sound::SoundError("Cannot load " + file + ": not a sound file");
        }
        filled = {false, true, true, true, true};
        voices = sound;
        log.push_back("load " + file);
    }
    void release() override {
        filled = {};
        log.emplace_back("release voices");
    }
    sound::VoiceSound loaded() const override { return voices; }
    std::int32_t setEvent(std::int32_t periodMs, core::TimerProc proc) override {
        periods.push_back(periodMs);
        armed = std::move(proc);
        return static_cast<std::int32_t>(periods.size());
    }
    void killEvent(std::int32_t id) override {
        armed = nullptr;
        log.push_back("kill " + std::to_string(id));
    }
    /// One tick of the armed event, due now.
    void fire() {
        armed(core::TimerCall{static_cast<std::int32_t>(periods.size()), ++calls,
                              core::Clock::now()});
    }

    /// Form_Load and show; with `wait`, also waits until the start-up load has run.
    bool startUp(bool wait = true) {
        if (!form.Form_Load()) {
            return false;
        }
        form.show();
        return QTest::qWaitForWindowExposed(&form) &&
               (!wait || QTest::qWaitFor([this] { return transport.ready(); }));
    }
    bool running() const { return transport.state().IsRunning; }
    /// The lamps that are lit, as beat numbers.
    std::vector<int> litLamps() const {
        std::vector<int> lit;
        for (int beat = 1; beat <= 4; ++beat) {
            if (form.findChild<Shape*>(QStringLiteral("Shape%1").arg(beat + 1))->lit()) {
                lit.push_back(beat);
            }
        }
        return lit;
    }
    template <typename W = QWidget> W* find(const char* name) const {
        return form.findChild<W*>(QString::fromLatin1(name));
    }

    bool failOpen = false;
    sound::VoiceSound failing = sound::VoiceSound::None;
    core::Clock::duration latency{};
    Log log;
    Volumes volumes;
    std::vector<std::int32_t> periods;
    core::TimerProc armed; // one event at a time
    std::array<bool, kSlotCount> filled{};
    sound::VoiceSound voices = sound::VoiceSound::None;
    std::int64_t calls = 0;
    LampRelay lamps;
    core::Transport transport{*this, *this, lamps};
    Form1 form{transport, *this, *this, lamps};
};

// Answers the next message box that opens: records it, then presses its OK button.
struct BoxAnswerer {
    BoxAnswerer() {
        QObject::connect(&poll, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->windowTitle() + '|' + box->text();
                icon = box->icon();
                buttons = box->standardButtons();
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start(10);
    }
    QString seen; // title|text
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QTimer poll;
};

} // namespace metro::window::test

// Runs a Qt Test class inside the program's own application object.
#define METRONOME_WINDOW_TEST_MAIN(TestClass)                                                      \
    int main(int argc, char** argv) {                                                              \
        metro::window::MetronomeApplication app(argc, argv);                                       \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
