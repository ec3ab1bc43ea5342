#pragma once

#include "metro/sound/AudioOutput.h"
#include "metro/sound/Mixer.h"
#include "metro/sound/SoundService.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

namespace metro::sound {

/// The program's sound service: the mixer playing into an output (the device, or memory).
/// Slots 1..4 reach the mixer; slot 0 and slots out of range are ignored. Window thread, except
/// play() from the beat timer's thread and outputAvailable(); close() only once the beat timer
/// has stopped.
class EngineSoundService final : public SoundService {
public:
    /// `placement` chooses how the mixer starts beats; the program always uses Exact, the
    /// onset benchmark also NextBuffer as its baseline.
    explicit EngineSoundService(std::unique_ptr<AudioOutput> output,
                                Mixer::Placement placement = Mixer::Placement::Exact);
    ~EngineSoundService() override;

    void open() override;
    void close() override;
    int sampleRate() const override;
    /// When a beat is heard after its scheduled time: the output's placement lead and its own
    /// delay, and the shift that disturbances gave the current run.
    core::Clock::duration outputLatency() const override;
    bool outputAvailable() const noexcept override;
    /// Also drops the beats that were handed over ahead of a time after the stop.
    void runChanged(bool running) override;
    core::Clock::duration cueAhead() const override;

    void createVoice(int slot, std::shared_ptr<const SampleSet> sound) override;
    void releaseVoice(int slot) override;
    bool hasVoice(int slot) const override;
    void setVolume(int slot, Level level) override;
    void play(const core::BeatCue& cue) noexcept override;

    /// The mixer, once open() has succeeded (for statistics); nullptr before.
    const Mixer* mixer() const { return m_mixer.get(); }
    /// Beats dropped by play() because the output was not available. Any thread.
    std::uint64_t droppedWithoutOutput() const noexcept {
        return m_droppedWithoutOutput.load(std::memory_order_relaxed);
    }

private:
    /// Passes the output's buffers to the mixer once there is one; silence before. The output
    /// asks for buffers as soon as it opens, before its rate (and so the mixer) is known.
    struct Feed final : AudioSource {
        std::atomic<Mixer*> mixer{nullptr};
        void render(float* out, std::size_t frames,
                    core::TimePoint callbackTime) noexcept override; // [rt]
        void outputRestarted() noexcept override;
        void outputStepped() noexcept override;
        bool silent() const noexcept override;
    };

    static bool isVoiceSlot(int slot) { return slot >= 1 && slot < kSlotCount; }
    // The run of the latest beat played (the beat thread's, read once it has stopped).
    std::atomic<std::uint64_t> m_lastRun{0};
    Mixer& openMixer();

    std::unique_ptr<AudioOutput> m_output;
    Mixer::Placement m_placement;
    Feed m_feed;
    std::unique_ptr<Mixer> m_mixer;
    std::array<bool, kSlotCount> m_hasVoice{};
    std::atomic<std::uint64_t> m_droppedWithoutOutput{0};
};

} // namespace metro::sound
