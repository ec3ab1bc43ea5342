#pragma once

// Test sound files written with libsndfile, in a private temporary folder.

#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace metro::sound::test {

/// A folder of its own under /tmp, removed with everything in it.
struct TempDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("metro-test-" + std::to_string(getpid()));
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
};

/// Channel `channel` of the test sound: a 1 kHz sine of 0.5, quieter and phase-shifted on each
/// further channel.
inline double sineAt(int rate, std::size_t frame, int channel) {
    const double t = static_cast<double>(frame) / rate;
    return 0.5 * (1.0 - 0.2 * channel) * std::sin(2000.0 * std::numbers::pi * t + 0.7 * channel);
}

/// Writes `frames` frames of the test sound, with `poison` over the first sample of frame 100.
inline void writeSine(const std::filesystem::path& path, int format, int rate, int channels,
                      int frames, float poison = 0.0F) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    const auto width = static_cast<std::size_t>(channels);
    std::vector<float> samples(static_cast<std::size_t>(frames) * width);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(sineAt(rate, i / width, static_cast<int>(i % width)));
    }
    if (poison != 0.0F) {
        samples.at(100 * width) = poison;
    }
    if (sf_writef_float(file, samples.data(), frames) != frames || sf_close(file) != 0) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace metro::sound::test
