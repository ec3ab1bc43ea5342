// Writes the program's two voice files, click.wav and hat.wav, into the folder given.
// The output is the same on every run: the noise comes from a fixed seed.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kPeak = 0.891; // -1 dBFS
constexpr double kTwoPi = 2.0 * std::numbers::pi;

std::size_t framesFor(double seconds) {
    return static_cast<std::size_t>(std::lround(seconds * kRate));
}

/// Rises over `attack` seconds (half a cosine), decays with time constant `decay`, and fades
/// to exactly zero over the last `release` seconds of `length`.
double envelope(double t, double attack, double decay, double release, double length) {
    double gain = std::exp(-t / decay);
    if (t < attack) {
        gain *= 0.5 - 0.5 * std::cos(std::numbers::pi * t / attack);
    }
    const double untilEnd = length - t;
    if (untilEnd < release) {
        gain *= std::max(0.0, untilEnd / release);
    }
    return gain;
}

/// A bright pitched tick: a 2 kHz sine with a quieter partial at 5.3 kHz, 1 ms attack,
/// 40 ms long.
std::vector<double> makeClick() {
    constexpr double kLength = 0.040;
    std::vector<double> out(framesFor(kLength));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double tone = std::sin(kTwoPi * 2000.0 * t) + 0.2 * std::sin(kTwoPi * 5300.0 * t);
        out[i] = tone * envelope(t, 0.001, 0.009, 0.004, kLength);
    }
    return out;
}

/// A second-order high-pass filter (RBJ biquad, Butterworth Q).
class HighPass {
public:
    explicit HighPass(double cutoff) {
        const double w = kTwoPi * cutoff / kRate;
        constexpr double kButterworthQ = 1.0 / std::numbers::sqrt2;
        const double alpha = std::sin(w) / (2.0 * kButterworthQ);
        const double cosw = std::cos(w);
        const double a0 = 1.0 + alpha;
        m_b0 = (1.0 + cosw) / 2.0 / a0;
        m_b1 = -(1.0 + cosw) / a0;
        m_b2 = m_b0;
        m_a1 = -2.0 * cosw / a0;
        m_a2 = (1.0 - alpha) / a0;
    }
    double operator()(double x) {
        const double y = m_b0 * x + m_b1 * m_x1 + m_b2 * m_x2 - m_a1 * m_y1 - m_a2 * m_y2;
        m_x2 = m_x1;
        m_x1 = x;
        m_y2 = m_y1;
        m_y1 = y;
        return y;
    }

private:
    double m_b0, m_b1, m_b2, m_a1, m_a2;
    double m_x1 = 0, m_x2 = 0, m_y1 = 0, m_y2 = 0;
};

/// A closed hi-hat: white noise from a fixed seed through two 7 kHz high-pass stages,
/// 0.5 ms attack, 90 ms long.
std::vector<double> makeHat() {
    constexpr double kLength = 0.090;
    std::vector<double> out(framesFor(kLength));
    std::uint32_t state = 0x9E3779B9U; // xorshift32 seed
    HighPass first(7000.0);
    HighPass second(7000.0);
    for (std::size_t i = 0; i < out.size(); ++i) {
        state ^= state << 13U;
        state ^= state >> 17U;
        state ^= state << 5U;
        const double noise = static_cast<double>(state) / 2147483648.0 - 1.0;
        const double t = static_cast<double>(i) / kRate;
        out[i] = second(first(noise)) * envelope(t, 0.0005, 0.018, 0.010, kLength);
    }
    return out;
}

/// Scales to the peak, and writes 16-bit stereo PCM with the same sound on both sides.
bool writeVoice(const std::filesystem::path& path, const std::vector<double>& sound) {
    double peak = 0.0;
    for (const double x : sound) {
        peak = std::max(peak, std::abs(x));
    }
    std::vector<short> frames(sound.size() * 2);
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const auto sample = static_cast<short>(std::lround(sound[i] / peak * kPeak * 32767.0));
        frames[2 * i] = sample;
        frames[2 * i + 1] = sample;
    }
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "make-voices: %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    const auto count = static_cast<sf_count_t>(sound.size());
    const bool written = sf_writef_short(file, frames.data(), count) == count;
    if (!written) {
        std::fprintf(stderr, "make-voices: %s: %s\n", path.c_str(), sf_strerror(file));
    }
    return sf_close(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-voices OUTPUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder(argv[1]);
    const bool ok =
        writeVoice(folder / "click.wav", makeClick()) && writeVoice(folder / "hat.wav", makeHat());
    return ok ? 0 : 1;
}
