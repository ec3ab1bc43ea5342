#include "WindowRig.h"

#include "metro/window/Shape.h"

#include <QApplication>
#include <QPushButton>

namespace metro::window::test {

void FakeSound::open() {
    if (failOpen) {
        throw sound::SoundError("no sound device");
    }
    m_log.emplace_back("open device");
}

void FakeSound::createVoice(int slot, std::shared_ptr<const sound::SampleSet> sound) {
    voices.at(static_cast<std::size_t>(slot)) = std::move(sound);
}

void FakeSound::releaseVoice(int slot) {
    voices.at(static_cast<std::size_t>(slot)).reset();
}

bool FakeSound::hasVoice(int slot) const {
    return voices.at(static_cast<std::size_t>(slot)) != nullptr;
}

void FakeSound::setVolume(int slot, sound::Level level) {
    if (failVolume) {
        throw std::runtime_error("the mixer refused a level");
    }
    QVERIFY2(hasVoice(slot), "a level reached an empty slot");
    volumes.emplace_back(slot, level);
}

void FakeVoices::load(sound::VoiceSound sound) {
    const char* file = sound == sound::VoiceSound::HiHat ? "hat.wav" : "click.wav";
    if (sound == failing) {
        throw sound::SoundError(std::string("Cannot load /opt/metronome/") + file +
                                ": not a sound file");
    }
    auto samples = std::make_shared<sound::SampleSet>();
    samples->name = file;
    for (int slot = 1; slot < sound::SoundService::kSlotCount; ++slot) {
        m_sound.createVoice(slot, samples);
    }
    m_loaded = sound;
    m_log.emplace_back(std::string("load ") + file);
}

void FakeVoices::release() {
    for (int slot = 0; slot < sound::SoundService::kSlotCount; ++slot) {
        m_sound.releaseVoice(slot);
    }
    m_loaded = sound::VoiceSound::None;
    m_log.emplace_back("release voices");
}

std::int32_t ManualTimer::setEvent(std::int32_t periodMs, core::TimerProc proc) {
    const std::int32_t id = m_nextId++;
    armed[id] = std::move(proc);
    periods.push_back(periodMs);
    m_log.push_back("arm " + std::to_string(id));
    return id;
}

void ManualTimer::killEvent(std::int32_t id) {
    armed.erase(id);
    m_log.push_back("kill " + std::to_string(id));
}

void ManualTimer::fire() {
    ++m_calls;
    for (auto& [id, proc] : armed) {
        proc(core::TimerCall{id, m_calls, core::Clock::now()});
    }
}

bool Rig::load() {
    if (!form.Form_Load()) {
        return false;
    }
    form.show();
    return QTest::qWaitForWindowExposed(&form);
}

bool Rig::startUp() {
    return load() && QTest::qWaitFor([this] { return transport.ready(); });
}

std::vector<int> Rig::litLamps() const {
    std::vector<int> lit;
    for (int beat = 1; beat <= 4; ++beat) {
        const auto name = QStringLiteral("Shape%1").arg(beat + 1);
        if (form.findChild<Shape*>(name)->lit()) {
            lit.push_back(beat);
        }
    }
    return lit;
}

BoxAnswerer::BoxAnswerer() {
    connect(&m_poll, &QTimer::timeout, this, &BoxAnswerer::look);
    m_poll.start(10);
}

void BoxAnswerer::look() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || seen) {
        return;
    }
    seen = true;
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttons = box->standardButtons();
    box->button(QMessageBox::Ok)->click();
    m_poll.stop();
}

} // namespace metro::window::test
