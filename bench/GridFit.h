#pragma once

#include <cstdint>
#include <map>
#include <vector>

// Fits the onsets of a recording to a straight beat grid, for the onset benchmark.
namespace metro::bench {

/// Onsets placed on a beat grid: for each onset the beat it belongs to.
struct BeatMatch {
    std::vector<std::int64_t> beats; // beat index of each onset, counted from the first onset
    std::size_t extra = 0;           // onsets on a beat that already has one
};

/// Gives each onset the nearest beat index of a grid of `periodFrames` starting at the first.
BeatMatch MatchBeats(const std::vector<std::int64_t>& onsets, double periodFrames);

/// A straight line frame = origin + period x beat through the onsets, and how far they lie
/// from it.
struct GridFit {
    double period = 0.0;      // frames per beat
    double residualStd = 0.0; // frames
    double residualMax = 0.0; // frames, largest absolute residual
};

/// Fits onsets to their beat indices by least squares. Needs at least two onsets. On a grid
/// rounded to whole frames the largest residual can come out a little over half a frame.
GridFit FitGrid(const std::vector<std::int64_t>& onsets, const std::vector<std::int64_t>& beats);

/// Fits onsets to a grid of a known period: only the origin is chosen, so that the largest
/// residual is as small as it can be. Needs at least one onset.
GridFit FitGridWithPeriod(const std::vector<std::int64_t>& onsets,
                          const std::vector<std::int64_t>& beats, double periodFrames);

/// How often each interval (in frames) between consecutive onsets occurs.
std::map<std::int64_t, std::size_t> IntervalHistogram(const std::vector<std::int64_t>& onsets);

} // namespace metro::bench
