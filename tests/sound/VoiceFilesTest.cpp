#include "metro/sound/VoiceBank.h"

#include "ChildProcess.h"
#include "SoundFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

namespace metro::sound {
namespace {

namespace fs = std::filesystem;

struct VoiceFile {
    SF_INFO info{};
    std::vector<double> left;
};

VoiceFile readVoice(const fs::path& path) {
    VoiceFile voice;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &voice.info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return voice;
    }
    std::vector<double> frames(static_cast<std::size_t>(voice.info.frames * voice.info.channels));
    sf_readf_double(file, frames.data(), voice.info.frames);
    sf_close(file);
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        voice.left.push_back(frames[i]);
    }
    return voice;
}

/// Power of each DFT bin from 1 Hz-bin up to half the rate (a plain DFT: the files are short).
struct Spectrum {
    std::vector<double> power;
    double binHz = 0.0;

    Spectrum(const std::vector<double>& sound, int rate) {
        const std::size_t n = sound.size();
        binHz = static_cast<double>(rate) / static_cast<double>(n);
        for (std::size_t k = 0; k < n / 2; ++k) {
            double re = 0.0;
            double im = 0.0;
            const double w =
                2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
            for (std::size_t i = 0; i < n; ++i) {
                re += sound[i] * std::cos(w * static_cast<double>(i));
                im -= sound[i] * std::sin(w * static_cast<double>(i));
            }
            power.push_back(re * re + im * im);
        }
    }

    /// Share of the energy between `low` and `high` Hz.
    double share(double low, double high) const {
        double inBand = 0.0;
        double total = 0.0;
        for (std::size_t k = 0; k < power.size(); ++k) {
            const double hz = static_cast<double>(k) * binHz;
            total += power[k];
            inBand += hz >= low && hz < high ? power[k] : 0.0;
        }
        return inBand / total;
    }
};

void expectVoiceShape(const VoiceFile& voice) {
    EXPECT_EQ(voice.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(voice.info.samplerate, 44100);
    EXPECT_EQ(voice.info.channels, 2);
    EXPECT_LT(voice.info.frames, 44100 * 150 / 1000);
    double peak = 0.0;
    for (const double x : voice.left) {
        peak = std::max(peak, std::abs(x));
    }
    EXPECT_NEAR(20.0 * std::log10(peak), -1.0, 0.2);
    EXPECT_NEAR(voice.left.back(), 0.0, 1e-3) << "the sound must end in silence";
}

TEST(VoiceFiles, ClickIsAShortPitchedTick) {
    const VoiceFile click = readVoice(ExecutableDirectory() / "click.wav");
    expectVoiceShape(click);
    const Spectrum spectrum(click.left, 44100);
    EXPECT_GT(spectrum.share(1700.0, 2300.0), 0.8);
    EXPECT_LT(spectrum.share(0.0, 1000.0), 0.05);
}

TEST(VoiceFiles, HatIsHighNoise) {
    const VoiceFile hat = readVoice(ExecutableDirectory() / "hat.wav");
    expectVoiceShape(hat);
    const Spectrum spectrum(hat.left, 44100);
    EXPECT_GT(spectrum.share(5000.0, 22051.0), 0.85);
    // Noise, not a tone: no 200 Hz band holds much of the energy.
    for (double low = 5000.0; low < 20000.0; low += 200.0) {
        EXPECT_LT(spectrum.share(low, low + 200.0), 0.1) << low;
    }
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(VoiceFiles, GeneratorIsDeterministic) {
    const test::TempDir dir;
    ASSERT_EQ(
        testsupport::RunProgram({METRO_MAKE_VOICES, dir.path().string()}, {}, dir.path() / "log"),
        0);
    for (const char* name : {"click.wav", "hat.wav"}) {
        EXPECT_EQ(contents(dir.path() / name), contents(ExecutableDirectory() / name)) << name;
    }
}

} // namespace
} // namespace metro::sound
