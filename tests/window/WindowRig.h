#pragma once

#include "metro/core/TimerService.h"
#include "metro/core/Transport.h"
#include "metro/sound/SoundService.h"
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

#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace metro::window::test {

using Log = std::vector<std::string>;
using Volumes = std::vector<std::pair<int, sound::Level>>;

// A sound service that records what the window asks of it.
class FakeSound final : public sound::SoundService {
public:
    explicit FakeSound(Log& log) : m_log(log) {}
    void open() override {
        if (failOpen) {
            throw sound::SoundError("no sound device");
        }
        m_log.emplace_back("open device");
    }
    void close() override { m_log.emplace_back("close device"); }
    int sampleRate() const override { return 48000; }
    core::Clock::duration outputLatency() const override { return latency; }
    void createVoice(int slot, std::shared_ptr<const sound::SampleSet> s) override {
        voices.at(static_cast<std::size_t>(slot)) = std::move(s);
    }
    void releaseVoice(int slot) override { voices.at(static_cast<std::size_t>(slot)).reset(); }
    bool hasVoice(int slot) const override {
        return voices.at(static_cast<std::size_t>(slot)) != nullptr;
    }
    void setVolume(int slot, sound::Level level) override {
        QVERIFY2(hasVoice(slot), "a level reached an empty slot");
        volumes.emplace_back(slot, level);
    }
    void play(const core::BeatCue& cue) noexcept override { cues.push_back(cue); }

    bool failOpen = false;
    core::Clock::duration latency{};
    Volumes volumes;
    std::vector<core::BeatCue> cues;
    std::array<std::shared_ptr<const sound::SampleSet>, kSlotCount> voices{};

private:
    Log& m_log;
};

// Loads a named sound into the fake service's slots; one sound can be made to fail.
class FakeVoices final : public VoiceLoader {
public:
    FakeVoices(FakeSound& sound, Log& log) : m_sound(sound), m_log(log) {}
    void load(sound::VoiceSound sound) override {
        const std::string file = sound == sound::VoiceSound::HiHat ? "hat.wav" : "click.wav";
        if (sound == failing) {
            throw sound::SoundError("Cannot load " + file + ": not a sound file");
        }
        for (int slot = 1; slot < sound::SoundService::kSlotCount; ++slot) {
            m_sound.createVoice(slot, std::make_shared<sound::SampleSet>());
        }
        m_loaded = sound;
        m_log.push_back("load " + file);
    }
    void release() override {
        for (int slot = 0; slot < sound::SoundService::kSlotCount; ++slot) {
            m_sound.releaseVoice(slot);
        }
        m_loaded = sound::VoiceSound::None;
        m_log.emplace_back("release voices");
    }
    sound::VoiceSound loaded() const override { return m_loaded; }

    sound::VoiceSound failing = sound::VoiceSound::None;

private:
    FakeSound& m_sound;
    Log& m_log;
    sound::VoiceSound m_loaded = sound::VoiceSound::None;
};

// A periodic timer that the test fires by hand, on the window thread.
class ManualTimer final : public core::TimerService {
public:
    explicit ManualTimer(Log& log) : m_log(log) {}
    std::int32_t setEvent(std::int32_t periodMs, core::TimerProc proc) override {
        armed[m_nextId] = std::move(proc);
        periods.push_back(periodMs);
        m_log.push_back("arm " + std::to_string(m_nextId));
        return m_nextId++;
    }
    void killEvent(std::int32_t id) override {
        armed.erase(id);
        m_log.push_back("kill " + std::to_string(id));
    }
    /// One tick of every armed event, due now.
    void fire() {
        ++m_calls;
        for (auto& [id, proc] : armed) {
            proc(core::TimerCall{id, m_calls, core::Clock::now()});
        }
    }

    std::map<std::int32_t, core::TimerProc> armed;
    std::vector<std::int32_t> periods;

private:
    Log& m_log;
    std::int32_t m_nextId = 1;
    std::int64_t m_calls = 0;
};

// The window with fakes behind it.
struct Rig {
    Log log;
    FakeSound sound{log};
    FakeVoices voices{sound, log};
    ManualTimer timer{log};
    LampRelay lamps;
    core::Transport transport{timer, sound, lamps};
    Form1 form{transport, sound, voices, lamps};

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
};

// Answers the next message box that opens: records it, then presses its OK button.
struct BoxAnswerer {
    BoxAnswerer() {
        QObject::connect(&poll, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box != nullptr && !seen) {
                seen = true;
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                buttons = box->standardButtons();
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start(10);
    }
    bool seen = false;
    QString title;
    QString text;
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
