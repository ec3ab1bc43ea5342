#include "Onsets.h"

#include <algorithm>
#include <cmath>

namespace metro::testsupport {

std::vector<std::int64_t> FindOnsets(std::span<const float> interleaved, int channels) {
    constexpr std::size_t kMinQuietFrames = 2400;
    const auto width = static_cast<std::size_t>(std::max(channels, 1));
    float peak = 0.0F;
    for (const float sample : interleaved) {
        peak = std::max(peak, std::abs(sample));
    }
    std::vector<std::int64_t> onsets;
    std::size_t quiet = kMinQuietFrames; // the recording starts quiet
    for (std::size_t frame = 0; peak > 0.0F && frame < interleaved.size() / width; ++frame) {
        const auto samples = interleaved.subspan(frame * width, width);
        const bool loud = std::any_of(samples.begin(), samples.end(),
                                      [&](float x) { return std::abs(x) > 0.1F * peak; });
        if (loud && quiet >= kMinQuietFrames) {
            onsets.push_back(static_cast<std::int64_t>(frame));
        }
        quiet = loud ? 0 : quiet + 1;
    }
    return onsets;
}

} // namespace metro::testsupport
