#include "Onsets.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

namespace metro::testsupport {

std::vector<std::int64_t> FindOnsets(std::span<const float> interleaved, int channels,
                                     const OnsetOptions& options) {
    const auto width = static_cast<std::size_t>(channels);
    float peak = 0.0F;
    for (const float sample : interleaved) {
        peak = std::max(peak, std::abs(sample));
    }
    std::vector<std::int64_t> onsets;
    if (peak == 0.0F || width == 0) {
        return onsets;
    }
    const auto threshold = static_cast<float>(options.relativeThreshold * peak);
    const std::size_t frames = interleaved.size() / width;
    std::size_t quiet = options.minQuietFrames; // the recording starts quiet
    for (std::size_t frame = 0; frame < frames; ++frame) {
        bool loud = false;
        for (std::size_t ch = 0; ch < width; ++ch) {
            loud = loud || std::abs(interleaved[frame * width + ch]) > threshold;
        }
        if (!loud) {
            ++quiet;
            continue;
        }
        if (quiet >= options.minQuietFrames) {
            onsets.push_back(static_cast<std::int64_t>(frame));
        }
        quiet = 0;
    }
    return onsets;
}

BeatMatch MatchBeats(const std::vector<std::int64_t>& onsets, double periodFrames) {
    BeatMatch match;
    if (onsets.empty() || periodFrames <= 0.0) {
        return match;
    }
    std::set<std::int64_t> seen;
    for (const std::int64_t onset : onsets) {
        const double position = static_cast<double>(onset - onsets.front()) / periodFrames;
        const auto beat = static_cast<std::int64_t>(std::llround(position));
        match.beats.push_back(beat);
        if (!seen.insert(beat).second) {
            ++match.extra;
        }
    }
    const auto span = static_cast<std::size_t>(*seen.rbegin() + 1);
    match.missing = span - seen.size();
    return match;
}

GridFit FitGrid(const std::vector<std::int64_t>& onsets, const std::vector<std::int64_t>& beats) {
    const std::size_t n = onsets.size();
    if (n < 2 || beats.size() != n) {
        throw std::invalid_argument("FitGrid needs two or more onsets, each with its beat");
    }
    // Centred sums keep the precision at an hour of frames.
    double meanBeat = 0.0;
    double meanFrame = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        meanBeat += static_cast<double>(beats[i]);
        meanFrame += static_cast<double>(onsets[i] - onsets.front());
    }
    meanBeat /= static_cast<double>(n);
    meanFrame /= static_cast<double>(n);
    double sxy = 0.0;
    double sxx = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(beats[i]) - meanBeat;
        const double y = static_cast<double>(onsets[i] - onsets.front()) - meanFrame;
        sxy += x * y;
        sxx += x * x;
    }
    GridFit fit;
    fit.period = sxx > 0.0 ? sxy / sxx : 0.0;
    const double origin = meanFrame - fit.period * meanBeat;
    fit.origin = origin + static_cast<double>(onsets.front());
    double sumSquares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double predicted = origin + fit.period * static_cast<double>(beats[i]);
        const double residual = static_cast<double>(onsets[i] - onsets.front()) - predicted;
        sumSquares += residual * residual;
        fit.residualMax = std::max(fit.residualMax, std::abs(residual));
    }
    fit.residualStd = std::sqrt(sumSquares / static_cast<double>(n));
    return fit;
}

GridFit FitGridWithPeriod(const std::vector<std::int64_t>& onsets,
                          const std::vector<std::int64_t>& beats, double periodFrames) {
    const std::size_t n = onsets.size();
    if (n < 1 || beats.size() != n) {
        throw std::invalid_argument("FitGridWithPeriod needs onsets, each with its beat");
    }
    std::vector<double> offsets(n);
    for (std::size_t i = 0; i < n; ++i) {
        offsets[i] = static_cast<double>(onsets[i] - onsets.front()) -
                     periodFrames * static_cast<double>(beats[i]);
    }
    const auto [low, high] = std::minmax_element(offsets.begin(), offsets.end());
    const double middle = (*low + *high) / 2.0;
    GridFit fit;
    fit.period = periodFrames;
    fit.origin = static_cast<double>(onsets.front()) + middle;
    double sumSquares = 0.0;
    for (const double offset : offsets) {
        sumSquares += (offset - middle) * (offset - middle);
    }
    fit.residualStd = std::sqrt(sumSquares / static_cast<double>(n));
    fit.residualMax = (*high - *low) / 2.0;
    return fit;
}

std::map<std::int64_t, std::size_t> IntervalHistogram(const std::vector<std::int64_t>& onsets) {
    std::map<std::int64_t, std::size_t> histogram;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        ++histogram[onsets[i] - onsets[i - 1]];
    }
    return histogram;
}

} // namespace metro::testsupport
