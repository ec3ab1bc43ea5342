#include "metro/sound/EngineSoundService.h"

#include <algorithm>
#include <string>
#include <utility>

namespace metro::sound {

void EngineSoundService::Feed::render(float* out, std::size_t frames,
                                      core::TimePoint callbackTime) noexcept {
    Mixer* current = mixer.load(std::memory_order_acquire);
    if (current == nullptr) {
        std::fill(out, out + frames * 2, 0.0F);
        return;
    }
    current->render(out, frames, callbackTime);
}

void EngineSoundService::Feed::outputRestarted() noexcept {
    if (Mixer* current = mixer.load(std::memory_order_acquire)) {
        current->outputRestarted();
    }
}

void EngineSoundService::Feed::outputStepped() noexcept {
    if (Mixer* current = mixer.load(std::memory_order_acquire)) {
        current->outputStepped();
    }
}

bool EngineSoundService::Feed::silent() const noexcept {
    const Mixer* current = mixer.load(std::memory_order_acquire);
    return current == nullptr || current->silent();
}

EngineSoundService::EngineSoundService(std::unique_ptr<AudioOutput> output,
                                       Mixer::Placement placement)
    : m_output(std::move(output)), m_placement(placement) {}

EngineSoundService::~EngineSoundService() {
    close();
}

void EngineSoundService::open() {
    close();
    m_output->open(m_feed);
    m_mixer = std::make_unique<Mixer>(m_output->sampleRate(), m_output->placementLead(),
                                      m_placement, m_output->exactStamps());
    m_feed.mixer.store(m_mixer.get(), std::memory_order_release);
}

void EngineSoundService::close() {
    m_output->close();
    m_feed.mixer.store(nullptr, std::memory_order_release);
    m_mixer.reset();
    m_hasVoice.fill(false);
}

int EngineSoundService::sampleRate() const {
    return m_mixer ? m_output->sampleRate() : 0;
}

core::Clock::duration EngineSoundService::outputLatency() const {
    if (!m_mixer) {
        return core::Clock::duration::zero();
    }
    return m_mixer->outputLatency() + m_output->stampToSound() + m_mixer->heardLater();
}

void EngineSoundService::runChanged(bool running) {
    if (!running && m_mixer) {
        m_mixer->endRun(m_lastRun.load(std::memory_order_relaxed), core::Clock::now());
    }
    m_output->setActive(running);
}

core::Clock::duration EngineSoundService::cueAhead() const {
    return m_output->cueAhead();
}

bool EngineSoundService::outputAvailable() const noexcept {
    return m_feed.mixer.load(std::memory_order_acquire) != nullptr && m_output->available();
}

Mixer& EngineSoundService::openMixer() {
    if (!m_mixer) {
        throw SoundError("The sound device is not open");
    }
    return *m_mixer;
}

void EngineSoundService::createVoice(int slot, std::shared_ptr<const SampleSet> sound) {
    if (!isVoiceSlot(slot)) {
        return;
    }
    Mixer& mixer = openMixer();
    if (!sound || sound->frames() == 0) {
        throw SoundError("Cannot create a voice without sound");
    }
    if (sound->sampleRate != m_output->sampleRate()) {
        throw SoundError("Sound \"" + sound->name + "\" was decoded at " +
                         std::to_string(sound->sampleRate) + " Hz, the device runs at " +
                         std::to_string(m_output->sampleRate()) + " Hz");
    }
    mixer.setLevel(slot, kFullLevel);
    mixer.setVoice(slot, std::move(sound));
    m_hasVoice[static_cast<std::size_t>(slot)] = true;
}

void EngineSoundService::releaseVoice(int slot) {
    if (!isVoiceSlot(slot) || !m_mixer) {
        return;
    }
    m_mixer->setVoice(slot, nullptr);
    m_hasVoice[static_cast<std::size_t>(slot)] = false;
}

bool EngineSoundService::hasVoice(int slot) const {
    return isVoiceSlot(slot) && m_hasVoice[static_cast<std::size_t>(slot)];
}

void EngineSoundService::setVolume(int slot, Level level) {
    if (isVoiceSlot(slot) && m_mixer) {
        m_mixer->setLevel(slot, level);
    }
}

void EngineSoundService::play(const core::BeatCue& cue) noexcept {
    if (!isVoiceSlot(cue.slot)) {
        return;
    }
    m_lastRun.store(cue.run, std::memory_order_relaxed);
    Mixer* mixer = m_feed.mixer.load(std::memory_order_acquire);
    if (mixer == nullptr) {
        return;
    }
    if (!m_output->available()) {
        // Queued, it would sound late and off the beat once the output is back.
        m_droppedWithoutOutput.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    mixer->schedule(cue);
}

} // namespace metro::sound
