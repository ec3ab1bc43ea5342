#pragma once

// Writing test sound files with libsndfile, and private temporary folders.

#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace metro::sound::test {

/// A folder of its own under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "metro-test-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

/// A test sound: a 1 kHz sine, quieter and phase-shifted on each further channel.
struct SoundFileSpec {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    int rate = 48000;
    int channels = 2;
    int frames = 4800;
    double amplitude = 0.5;
    std::optional<float> poison; // written over channel 0 of frame 100 when set

    SoundFileSpec withFormat(int value) const { return with(&SoundFileSpec::format, value); }
    SoundFileSpec withRate(int value) const { return with(&SoundFileSpec::rate, value); }
    SoundFileSpec withChannels(int value) const { return with(&SoundFileSpec::channels, value); }
    SoundFileSpec withFrames(int value) const { return with(&SoundFileSpec::frames, value); }
    SoundFileSpec withPoison(float value) const {
        SoundFileSpec copy = *this;
        copy.poison = value;
        return copy;
    }

private:
    SoundFileSpec with(int SoundFileSpec::*member, int value) const {
        SoundFileSpec copy = *this;
        copy.*member = value;
        return copy;
    }
};

inline double SineAt(const SoundFileSpec& spec, std::size_t frame, int channel) {
    const double t = static_cast<double>(frame) / spec.rate;
    return spec.amplitude * (1.0 - 0.2 * channel) *
           std::sin(2.0 * std::numbers::pi * 1000.0 * t + 0.7 * channel);
}

inline void WriteSine(const std::filesystem::path& path, const SoundFileSpec& spec) {
    SF_INFO info{};
    info.samplerate = spec.rate;
    info.channels = spec.channels;
    info.format = spec.format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
    }
    const auto channels = static_cast<std::size_t>(spec.channels);
    std::vector<float> samples(static_cast<std::size_t>(spec.frames) * channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(SineAt(spec, i / channels, static_cast<int>(i % channels)));
    }
    if (spec.poison && spec.frames > 100) {
        samples[100 * channels] = *spec.poison;
    }
    const sf_count_t written = sf_writef_float(file, samples.data(), spec.frames);
    sf_close(file);
    if (written != spec.frames) {
        throw std::runtime_error("short write to " + path.string());
    }
}

} // namespace metro::sound::test
