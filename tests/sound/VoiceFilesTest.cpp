#include "metro/sound/VoiceBank.h"

#include <sndfile.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace metro::sound {
namespace {

/// The left channel of a voice file the build wrote beside the program, after checking that
/// it is a short 16-bit stereo WAV at 44.1 kHz peaking at -1 dBFS and ending in silence.
std::vector<double> readVoice(const char* name) {
    SF_INFO info{};
    SNDFILE* file = sf_open((executableDirectory() / name).c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << name << ": " << sf_strerror(nullptr);
    std::vector<double> frames(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_double(file, frames.data(), info.frames);
    sf_close(file);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 2);
    EXPECT_LT(info.frames, 44100 * 150 / 1000);
    std::vector<double> left;
    double peak = 0.0;
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        left.push_back(frames[i]);
        peak = std::max(peak, std::abs(frames[i]));
    }
    EXPECT_NEAR(20.0 * std::log10(peak), -1.0, 0.2);
    EXPECT_NEAR(left.empty() ? 1.0 : left.back(), 0.0, 1e-3) << "the sound must end in silence";
    return left;
}

/// Share of the sound's energy between `low` and `high` Hz, from a plain DFT of its bins there
/// against the whole energy (Parseval: the positive half holds half of n times the sum of x^2).
double bandShare(const std::vector<double>& x, double low, double high) {
    const double n = static_cast<double>(x.size());
    double total = 0.0;
    for (const double v : x) {
        total += v * v;
    }
    double inBand = 0.0;
    for (double k = std::ceil(low * n / 44100); k < high * n / 44100 && k < n / 2; ++k) {
        double re = 0.0;
        double im = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            re += x[i] * std::cos(2.0 * std::numbers::pi * k * static_cast<double>(i) / n);
            im += x[i] * std::sin(2.0 * std::numbers::pi * k * static_cast<double>(i) / n);
        }
        inBand += re * re + im * im;
    }
    return inBand / (n * total / 2);
}

TEST(VoiceFiles, ClickIsAShortPitchedTick) {
    const std::vector<double> click = readVoice("click.wav");
    EXPECT_GT(bandShare(click, 1700.0, 2300.0), 0.8);
    EXPECT_LT(bandShare(click, 0.0, 1000.0), 0.05);
}

TEST(VoiceFiles, HatIsHighNoise) {
    const std::vector<double> hat = readVoice("hat.wav");
    EXPECT_GT(bandShare(hat, 5000.0, 22051.0), 0.85);
    // Noise, not a tone: no 200 Hz band holds much of the energy.
    for (double low = 5000.0; low < 20000.0; low += 200.0) {
        EXPECT_LT(bandShare(hat, low, low + 200.0), 0.1) << low;
    }
}

} // namespace
} // namespace metro::sound
