#include "metro/core/TempoRule.h"

#include <cmath>
#include <limits>

namespace metro::core {

std::optional<std::int64_t> tempoValue(std::string_view tempoText) {
    if (tempoText.empty()) {
        return std::nullopt;
    }
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 10 - 9;
    std::int64_t value = 0;
    for (const char c : tempoText) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        if (value > kLimit) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

namespace {
// Round to nearest, ties to even, whatever the floating-point rounding mode is.
double roundHalfEven(double q) {
    const double below = std::floor(q);
    const double fraction = q - below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0.0)) {
        return below + 1.0;
    }
    return below;
}
} // namespace

std::optional<std::int32_t> PeriodFromTempo(std::string_view tempoText) {
    const auto tempo = tempoValue(tempoText);
    if (!tempo || *tempo == 0) {
        return std::nullopt;
    }
    const double period = roundHalfEven(60000.0 / static_cast<double>(*tempo));
    if (period < 1.0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(period);
}

bool isPlayableTempo(std::string_view tempoText) {
    const auto tempo = tempoValue(tempoText);
    return tempo && *tempo >= kMinTempo && *tempo <= kMaxTempo;
}

} // namespace metro::core
