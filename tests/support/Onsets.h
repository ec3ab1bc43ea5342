#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace metro::testsupport {

/// Finds where sounds start in interleaved audio, fed a buffer at a time: an onset is the first
/// frame louder than `level` on any channel after more than `quietFrames` frames that were not.
/// The audio before the first buffer counts as quiet. Level 0 takes any sample that is not
/// silence, so onsets of one sound played at different levels fall on the same frame.
struct OnsetFinder {
    explicit OnsetFinder(float loud = 0.0F, std::int64_t quiet = 64, int width = 2)
        : level(loud), quietFrames(quiet), channels(width) {}
    /// Scans the frames from `firstFrame` on, which follow those scanned before.
    void scan(std::span<const float> interleaved, std::int64_t firstFrame);

    float level;
    std::int64_t quietFrames;
    int channels;
    std::vector<std::int64_t> onsets;
    std::int64_t lastLoud = -(std::int64_t{1} << 40);
};

/// The onsets in a whole recording, as OnsetFinder finds them with a tenth of the recording's
/// peak as its level and 2400 quiet frames (50 ms at 48 kHz).
std::vector<std::int64_t> FindOnsets(std::span<const float> interleaved, int channels);

} // namespace metro::testsupport
