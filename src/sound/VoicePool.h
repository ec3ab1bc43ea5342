#pragma once

#include "metro/sound/SampleSet.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace metro::sound::detail {

/// How a slot's gain moves across one buffer: frame i gets start + step x (i + 1).
struct GainRamp {
    float start = 1.0F;
    float step = 0.0F;
};

inline constexpr int kSlotCount = 5; // slots 1..4; slot 0 is never used
using SlotGains = std::array<GainRamp, kSlotCount>;
using SlotSounds = std::array<const SampleSet*, kSlotCount>;

/// The fixed pool of playing voices. Each voice reads one sound from its first frame, starting
/// on an exact frame of the output, and may fade out over a short ramp from an exact frame
/// (when its slot restarts, or loses its sound) so it never ends in a click.
/// Audio thread only, except holds(), which any thread may call.
class VoicePool {
public:
    static constexpr std::size_t kVoiceCount = 8;

    explicit VoicePool(int sampleRate) noexcept;

    /// Starts `sound` for `slot` on output frame `frame`; the slot's voices still sounding
    /// fade out from that frame. With every voice busy, the one nearest its end is taken.
    void start(const SampleSet* sound, int slot, std::int64_t frame) noexcept;
    /// Fades out, from `frame`, every voice whose sound is no longer its slot's.
    void releaseStale(const SlotSounds& current, std::int64_t frame) noexcept;
    /// Adds every voice's samples for output frames [bufferStart, bufferStart + frames).
    void mix(float* out, std::size_t frames, std::int64_t bufferStart,
             const SlotGains& gains) noexcept;
    /// Stops every voice at once.
    void clear() noexcept;
    /// Whether some voice still plays.
    bool sounding() const noexcept {
        return std::any_of(m_voices.begin(), m_voices.end(),
                           [](const Voice& voice) { return voice.sound != nullptr; });
    }

    /// Whether some voice may still read `sound`. Any thread; a voice that has let a sound go
    /// is seen with acquire ordering, after its last read of it.
    bool holds(const SampleSet* sound) const noexcept;

private:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

    struct Voice {
        const SampleSet* sound = nullptr; // nullptr: free
        int slot = 0;
        std::size_t position = 0;        // next frame of the sound
        std::int64_t startFrame = 0;     // output frame of its first sample
        std::int64_t fadeStart = kNever; // output frame where its fade-out begins
    };

    std::size_t pickVoice() const noexcept;
    bool mixVoice(Voice& voice, float* out, std::size_t frames, std::int64_t bufferStart,
                  const GainRamp& gain) const noexcept;
    void finish(std::size_t index) noexcept;

    std::int64_t m_fadeFrames;
    std::array<Voice, kVoiceCount> m_voices{};
    std::array<std::atomic<const SampleSet*>, kVoiceCount> m_held{};
};

} // namespace metro::sound::detail
