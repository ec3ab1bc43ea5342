#pragma once

#include "metro/core/TimerService.h"
#include "metro/core/Transport.h"
#include "metro/sound/SoundService.h"
#include "metro/window/Form1.h"
#include "metro/window/LampRelay.h"
#include "metro/window/MetronomeApplication.h"
#include "metro/window/VoiceLoader.h"

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace metro::window::test {

using Log = std::vector<std::string>;

// A sound service that records what the window asks of it.
class FakeSound final : public sound::SoundService {
public:
    explicit FakeSound(Log& log) : m_log(log) {}
    void open() override;
    void close() override { m_log.emplace_back("close device"); }
    int sampleRate() const override { return 48000; }
    core::Clock::duration outputLatency() const override { return latency; }
    void createVoice(int slot, std::shared_ptr<const sound::SampleSet> sound) override;
    void releaseVoice(int slot) override;
    bool hasVoice(int slot) const override;
    void setVolume(int slot, sound::Level level) override;
    void play(const core::BeatCue& cue) noexcept override { cues.push_back(cue); }

    bool failOpen = false;
    bool failVolume = false;
    core::Clock::duration latency{};
    std::vector<std::pair<int, sound::Level>> volumes;
    std::vector<core::BeatCue> cues;
    std::array<std::shared_ptr<const sound::SampleSet>, kSlotCount> voices{};

private:
    Log& m_log;
};

// Loads a named sound into the fake service's slots; one sound can be made to fail.
class FakeVoices final : public VoiceLoader {
public:
    FakeVoices(FakeSound& sound, Log& log) : m_sound(sound), m_log(log) {}
    void load(sound::VoiceSound sound) override;
    void release() override;
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
    std::int32_t setEvent(std::int32_t periodMs, core::TimerProc proc) override;
    void killEvent(std::int32_t id) override;
    /// One tick of every armed event, due now.
    void fire();

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

    /// Form_Load and show, without waiting for the start-up timer.
    bool load();
    /// Form_Load, show, and wait until the start-up load has run.
    bool startUp();
    bool running() const { return transport.state().IsRunning; }
    /// The lamps that are lit, as beat numbers.
    std::vector<int> litLamps() const;

    template <typename W = QWidget> W* find(const char* name) const {
        return form.findChild<W*>(QString::fromLatin1(name));
    }
};

// Answers the next message box that opens: records it, then presses its OK button.
class BoxAnswerer : public QObject {
    Q_OBJECT
public:
    BoxAnswerer();
    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;

private:
    void look();
    QTimer m_poll;
};

// Receives the addresses the desktop is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

} // namespace metro::window::test

// Runs a Qt Test class inside the program's own application object.
#define METRONOME_WINDOW_TEST_MAIN(TestClass)                                                      \
    int main(int argc, char** argv) {                                                              \
        metro::window::MetronomeApplication app(argc, argv);                                       \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
