#include "GridFit.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

namespace metro::bench {

namespace {

/// Fills in the standard deviation and largest magnitude of the onsets' residuals from the line
/// origin + period x beat, all counted from the first onset.
void fillResiduals(GridFit& fit, const std::vector<std::int64_t>& onsets,
                   const std::vector<std::int64_t>& beats, double origin) {
    double sumSquares = 0.0;
    for (std::size_t i = 0; i < onsets.size(); ++i) {
        const double residual = static_cast<double>(onsets[i] - onsets.front()) - origin -
                                fit.period * static_cast<double>(beats[i]);
        sumSquares += residual * residual;
        fit.residualMax = std::max(fit.residualMax, std::abs(residual));
    }
    fit.residualStd = std::sqrt(sumSquares / static_cast<double>(onsets.size()));
}

} // namespace

BeatMatch MatchBeats(const std::vector<std::int64_t>& onsets, double periodFrames) {
    BeatMatch match;
    std::set<std::int64_t> seen;
    for (const std::int64_t onset : onsets) {
        const double position = static_cast<double>(onset - onsets.front()) / periodFrames;
        match.beats.push_back(std::llround(position));
        match.extra += seen.insert(match.beats.back()).second ? 0U : 1U;
    }
    return match;
}

GridFit FitGrid(const std::vector<std::int64_t>& onsets, const std::vector<std::int64_t>& beats) {
    const std::size_t n = onsets.size();
    if (n < 2 || beats.size() != n) {
        throw std::invalid_argument("FitGrid needs two or more onsets, each with its beat");
    }
    // Centred sums, counted from the first onset, keep the precision at an hour of frames.
    double meanBeat = 0.0;
    double meanFrame = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        meanBeat += static_cast<double>(beats[i]) / static_cast<double>(n);
        meanFrame += static_cast<double>(onsets[i] - onsets.front()) / static_cast<double>(n);
    }
    double sxy = 0.0;
    double sxx = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(beats[i]) - meanBeat;
        sxy += x * (static_cast<double>(onsets[i] - onsets.front()) - meanFrame);
        sxx += x * x;
    }
    GridFit fit;
    fit.period = sxx > 0.0 ? sxy / sxx : 0.0;
    fillResiduals(fit, onsets, beats, meanFrame - fit.period * meanBeat);
    return fit;
}

GridFit FitGridWithPeriod(const std::vector<std::int64_t>& onsets,
                          const std::vector<std::int64_t>& beats, double periodFrames) {
    if (onsets.empty() || beats.size() != onsets.size()) {
        throw std::invalid_argument("FitGridWithPeriod needs onsets, each with its beat");
    }
    // The origin halfway between the lowest and highest offset from the grid.
    double low = 0.0;
    double high = 0.0;
    for (std::size_t i = 0; i < onsets.size(); ++i) {
        const double offset = static_cast<double>(onsets[i] - onsets.front()) -
                              periodFrames * static_cast<double>(beats[i]);
        low = i == 0 ? offset : std::min(low, offset);
        high = i == 0 ? offset : std::max(high, offset);
    }
    GridFit fit;
    fit.period = periodFrames;
    fillResiduals(fit, onsets, beats, (low + high) / 2.0);
    return fit;
}

std::map<std::int64_t, std::size_t> IntervalHistogram(const std::vector<std::int64_t>& onsets) {
    std::map<std::int64_t, std::size_t> histogram;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        ++histogram[onsets[i] - onsets[i - 1]];
    }
    return histogram;
}

} // namespace metro::bench
