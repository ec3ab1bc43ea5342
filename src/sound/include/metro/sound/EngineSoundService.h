#pragma once

#include "metro/sound/AudioOutput.h"
#include "metro/sound/Mixer.h"
#include "metro/sound/SoundService.h"

#include <array>
#include <memory>

namespace metro::sound {

/// The program's sound service: the mixer playing into an output (the device, or memory).
class EngineSoundService final : public SoundService {
public:
    explicit EngineSoundService(std::unique_ptr<AudioOutput> output);
    ~EngineSoundService() override;

    void open() override;
    void close() override;
    int sampleRate() const override;
    core::Clock::duration outputLatency() const override;

    void createVoice(int slot, std::shared_ptr<const SampleSet> sound) override;
    void releaseVoice(int slot) override;
    bool hasVoice(int slot) const override;
    void setVolume(int slot, Level level) override;
    void play(const core::BeatCue& cue) noexcept override;

    /// The mixer, once open() has succeeded (for statistics); nullptr before.
    const Mixer* mixer() const { return m_mixer.get(); }
    AudioOutput& output() { return *m_output; }

private:
    std::unique_ptr<AudioOutput> m_output;
    std::unique_ptr<Mixer> m_mixer;
    std::array<bool, kSlotCount> m_hasVoice{};
};

} // namespace metro::sound
