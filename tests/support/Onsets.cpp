#include "Onsets.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace metro::testsupport {

// A plain loop over the samples: the mixer tests scan hours of audio in unoptimised builds.
void OnsetFinder::scan(std::span<const float> interleaved, std::int64_t firstFrame) {
    const auto width = static_cast<std::size_t>(std::max(channels, 1));
    for (std::size_t i = 0; i < interleaved.size(); ++i) {
        const float x = interleaved[i];
        if (x > level || x < -level) {
            const std::int64_t at = firstFrame + static_cast<std::int64_t>(i / width);
            if (at - lastLoud > quietFrames) {
                onsets.push_back(at);
            }
            lastLoud = at;
        }
    }
}

std::vector<std::int64_t> FindOnsets(std::span<const float> interleaved, int channels) {
    const float peak =
        std::accumulate(interleaved.begin(), interleaved.end(), 0.0F,
                        [](float most, float x) { return std::max(most, std::abs(x)); });
    OnsetFinder finder{0.1F * peak, 2400, channels};
    finder.scan(interleaved, 0);
    return finder.onsets;
}

} // namespace metro::testsupport
