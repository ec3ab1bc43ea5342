#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace metro::sound {

/// One decoded sound, immutable once made: interleaved stereo float samples at the device rate.
struct SampleSet {
    std::string name; // the file it came from, for messages
    int sampleRate = 0;
    std::vector<float> samples; // L R L R ...

    std::size_t frames() const { return samples.size() / 2; }
};

} // namespace metro::sound
