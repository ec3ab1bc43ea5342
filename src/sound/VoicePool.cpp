#include "VoicePool.h"

#include <algorithm>
#include <cmath>

namespace metro::sound::detail {

namespace {

// Long enough that a cut sound does not click, short enough to be heard as a cut.
constexpr double kFadeSeconds = 0.0015;

/// Adds `count` stereo frames of `in` to `out`, each scaled by a linear gain times a linear
/// envelope. The common case, a steady gain and no fade, gets a plain loop the compiler can
/// vectorise.
void mixSpan(float* out, const float* in, std::size_t count, float gain, float gainStep,
             float envelope, float envelopeStep) noexcept {
    if (gainStep == 0.0F && envelopeStep == 0.0F) {
        const float scale = gain * envelope;
        for (std::size_t j = 0; j < 2 * count; ++j) {
            out[j] += in[j] * scale;
        }
        return;
    }
    float step = 0.0F;
    for (std::size_t j = 0; j < count; ++j, step += 1.0F) {
        const float scale = (gain + gainStep * step) * (envelope + envelopeStep * step);
        out[2 * j] += in[2 * j] * scale;
        out[2 * j + 1] += in[2 * j + 1] * scale;
    }
}

} // namespace

VoicePool::VoicePool(int sampleRate) noexcept
    : m_fadeFrames(std::max<std::int64_t>(1, std::llround(kFadeSeconds * sampleRate))) {
    for (auto& held : m_held) {
        held.store(nullptr, std::memory_order_relaxed);
    }
}

void VoicePool::start(const SampleSet* sound, int slot, std::int64_t frame) noexcept {
    for (auto& voice : m_voices) {
        if (voice.sound != nullptr && voice.slot == slot) {
            voice.fadeStart = std::min(voice.fadeStart, frame);
        }
    }
    const std::size_t index = pickVoice();
    m_voices[index] = Voice{sound, slot, 0, frame, kNever};
    m_held[index].store(sound, std::memory_order_release);
}

std::size_t VoicePool::pickVoice() const noexcept {
    std::size_t best = 0;
    for (std::size_t i = 0; i < kVoiceCount; ++i) {
        const Voice& voice = m_voices[i];
        if (voice.sound == nullptr) {
            return i;
        }
        const Voice& chosen = m_voices[best];
        // Prefer the voice that fades out soonest, then the one that started first.
        if (voice.fadeStart < chosen.fadeStart ||
            (voice.fadeStart == chosen.fadeStart && voice.startFrame < chosen.startFrame)) {
            best = i;
        }
    }
    return best;
}

void VoicePool::releaseStale(const SlotSounds& current, std::int64_t frame) noexcept {
    for (auto& voice : m_voices) {
        if (voice.sound != nullptr &&
            voice.sound != current[static_cast<std::size_t>(voice.slot)]) {
            voice.fadeStart = std::min(voice.fadeStart, frame);
        }
    }
}

void VoicePool::mix(float* out, std::size_t frames, std::int64_t bufferStart,
                    const SlotGains& gains) noexcept {
    for (std::size_t i = 0; i < kVoiceCount; ++i) {
        Voice& voice = m_voices[i];
        if (voice.sound == nullptr) {
            continue;
        }
        const GainRamp& gain = gains[static_cast<std::size_t>(voice.slot)];
        if (!mixVoice(voice, out, frames, bufferStart, gain)) {
            finish(i);
        }
    }
}

bool VoicePool::mixVoice(Voice& voice, float* out, std::size_t frames, std::int64_t bufferStart,
                         const GainRamp& gain) const noexcept {
    const float* samples = voice.sound->samples.data();
    const std::size_t length = voice.sound->frames();
    const auto fadeLength = static_cast<float>(m_fadeFrames);
    std::size_t i = voice.startFrame > bufferStart
                        ? static_cast<std::size_t>(voice.startFrame - bufferStart)
                        : 0;
    while (i < frames && voice.position < length) {
        const std::int64_t frame = bufferStart + static_cast<std::int64_t>(i);
        std::size_t count = std::min(frames - i, length - voice.position);
        float envelope = 1.0F;
        float envelopeStep = 0.0F;
        if (frame < voice.fadeStart) {
            count = std::min(count, static_cast<std::size_t>(voice.fadeStart - frame));
        } else {
            const std::int64_t into = frame - voice.fadeStart;
            if (into >= m_fadeFrames) {
                return false;
            }
            count = std::min(count, static_cast<std::size_t>(m_fadeFrames - into));
            envelope = 1.0F - static_cast<float>(into + 1) / fadeLength;
            envelopeStep = -1.0F / fadeLength;
        }
        mixSpan(out + 2 * i, samples + 2 * voice.position, count,
                gain.start + gain.step * static_cast<float>(i + 1), gain.step, envelope,
                envelopeStep);
        i += count;
        voice.position += count;
    }
    const std::int64_t end = bufferStart + static_cast<std::int64_t>(frames);
    const bool faded = voice.fadeStart != kNever && end - voice.fadeStart >= m_fadeFrames;
    return voice.position < length && !faded;
}

void VoicePool::finish(std::size_t index) noexcept {
    m_voices[index].sound = nullptr;
    m_held[index].store(nullptr, std::memory_order_release);
}

void VoicePool::clear() noexcept {
    for (std::size_t i = 0; i < kVoiceCount; ++i) {
        finish(i);
    }
}

bool VoicePool::holds(const SampleSet* sound) const noexcept {
    return std::any_of(m_held.begin(), m_held.end(), [sound](const auto& held) {
        return held.load(std::memory_order_acquire) == sound;
    });
}

} // namespace metro::sound::detail
