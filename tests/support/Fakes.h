#pragma once

// The fakes the tests put in place of the beat timer, the window's controls and the sound
// service, and sounds made in memory. The timer and the sound service can write what they are
// asked to do into a shared log, so that a test sees the order.

#include "metro/core/TimerService.h"
#include "metro/core/TransportView.h"

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if __has_include("metro/sound/SoundService.h")
#include "metro/sound/SoundService.h"
#endif

namespace metro::testsupport {

using Log = std::vector<std::string>;

/// A beat timer the test fires by hand. It keeps the periods asked for and logs each kill of
/// an armed event as "kill ID"; with `failNext` set, setEvent fails.
struct ManualTimer final : core::TimerService {
    explicit ManualTimer(Log* sharedLog = nullptr) : log(sharedLog) {}
    std::int32_t setEvent(std::int32_t periodMs, core::TimerProc proc,
                          core::Clock::duration /*ahead*/ = {}) override {
        if (failNext || periodMs <= 0) {
            return 0;
        }
        periods.push_back(periodMs);
        const auto id = static_cast<std::int32_t>(periods.size());
        armed[id] = std::move(proc);
        return id;
    }
    void killEvent(std::int32_t id) override {
        if (armed.erase(id) != 0 && log != nullptr) {
            log->push_back("kill " + std::to_string(id));
        }
    }
    /// One call of every armed event, due at `due`.
    void fire(core::TimePoint due = core::Clock::now()) {
        ++calls;
        for (auto& [id, proc] : armed) {
            proc(core::TimerCall{id, calls, due});
        }
    }

    Log* log;
    std::map<std::int32_t, core::TimerProc> armed;
    std::vector<std::int32_t> periods;
    std::int64_t calls = 0;
    bool failNext = false;
};

/// The window's controls as the transport sees them: the tempo box holds `tempo`, changes to
/// the buttons and frames are counted, and errors are kept for the caller to check.
class FakeView final : public core::TransportView {
public:
    explicit FakeView(int bpm = 120) : tempo(std::to_string(bpm)) {}
    std::string tempoText() const override { return tempo; }
    void focusTempo() override {}
    void setPeriodCaption(std::string_view) override {}
    void setButtonEnabled(core::TransportButton, bool) override { ++changes; }
    void setFrameEnabled(core::SettingsFrame, bool) override { ++changes; }
    void setLampLit(int, bool) override {}
    void reportError(std::string_view message) override { errors.emplace_back(message); }

    std::string tempo;
    int changes = 0;
    std::vector<std::string> errors;
};

#if __has_include("metro/sound/SoundService.h")
/// A 48 kHz sound from the samples of its left and right channels; without a right, the left on
/// both.
inline std::shared_ptr<const sound::SampleSet> MakeSound(const std::vector<float>& left,
                                                         const std::vector<float>& right = {}) {
    auto sound = std::make_shared<sound::SampleSet>();
    sound->sampleRate = 48000;
    for (std::size_t i = 0; i < left.size(); ++i) {
        sound->samples.insert(sound->samples.end(), {left[i], right.empty() ? left[i] : right[i]});
    }
    return sound;
}

/// A sound service at 48 kHz that keeps the voices and levels it is given and counts the beats
/// it plays. It logs opening and closing, and each voice created or released ("c1", "r0").
struct FakeSound final : sound::SoundService {
    explicit FakeSound(Log* sharedLog = nullptr) : log(sharedLog) {}
    void open() override {
        if (failOpen) {
            throw sound::SoundError("no sound device");
        }
        note("open device");
    }
    void close() override { note("close device"); }
    int sampleRate() const override { return 48000; }
    core::Clock::duration outputLatency() const override { return latency; }
    bool outputAvailable() const noexcept override { return available; }
    void createVoice(int slot, std::shared_ptr<const sound::SampleSet> sound) override {
        note("c" + std::to_string(slot));
        voices.at(static_cast<std::size_t>(slot)) = std::move(sound);
    }
    void releaseVoice(int slot) override {
        note("r" + std::to_string(slot));
        voices.at(static_cast<std::size_t>(slot)).reset();
    }
    bool hasVoice(int slot) const override {
        return voices.at(static_cast<std::size_t>(slot)) != nullptr;
    }
    void setVolume(int slot, sound::Level level) override {
        levels.emplace_back(slot, level);
        if (!hasVoice(slot)) {
            note("level for an empty slot");
        }
    }
    void play(const core::BeatCue&) noexcept override { ++plays; }
    void note(std::string entry) {
        if (log != nullptr) {
            log->push_back(std::move(entry));
        }
    }

    Log* log;
    bool failOpen = false;
    bool available = true;
    core::Clock::duration latency{};
    std::array<std::shared_ptr<const sound::SampleSet>, kSlotCount> voices;
    std::vector<std::pair<int, sound::Level>> levels;
    int plays = 0;
};
#endif

} // namespace metro::testsupport
