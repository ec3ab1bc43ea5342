#pragma once

#include <cmath>
#include <cstdint>

namespace metro::sound {

/// A voice level in hundredths of a decibel: 0 is full level, -10000 is silence.
using Level = std::int32_t;
inline constexpr Level kFullLevel = 0;
inline constexpr Level kSilentLevel = -10000;

/// Amplitude factor of a level: 10^(L/2000), exactly 0 at or below -10000, at most 1.
inline float amplitudeFromLevel(Level level) noexcept {
    if (level <= kSilentLevel) {
        return 0.0F;
    }
    if (level >= kFullLevel) {
        return 1.0F;
    }
    return static_cast<float>(std::pow(10.0, static_cast<double>(level) / 2000.0));
}

} // namespace metro::sound
