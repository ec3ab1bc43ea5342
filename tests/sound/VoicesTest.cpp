// Voice files: decoding every format and refusing bad files, and the two voice files the build
// writes. (The voice bank's reloads are the window test's: it runs over the real bank.)
#include "metro/sound/VoiceBank.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <future>
#include <map>
#include <numbers>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace metro::sound {
namespace {

namespace fs = std::filesystem;
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

/// A folder of its own under /tmp, removed with everything in it.
struct TempDir {
    fs::path path = fs::temp_directory_path() / ("metro-test-" + std::to_string(getpid()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
};

/// Channel `channel` of the test sound: a 1 kHz sine of 0.5, quieter and phase-shifted on each
/// further channel.
double sineAt(int rate, std::size_t frame, int channel) {
    const double t = static_cast<double>(frame) / rate;
    return 0.5 * (1.0 - 0.2 * channel) * std::sin(2000.0 * std::numbers::pi * t + 0.7 * channel);
}

/// Writes `frames` frames of the test sound.
void writeSine(const std::filesystem::path& path, int format, int rate, int channels, int frames) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    const auto width = static_cast<std::size_t>(channels);
    std::vector<float> samples(static_cast<std::size_t>(frames) * width);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(sineAt(rate, i / width, static_cast<int>(i % width)));
    }
    if (sf_writef_float(file, samples.data(), frames) != frames || sf_close(file) != 0) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

/// Decodes, but ends the whole program when a file takes longer than `limit`: a hang shows as
/// a failure naming the file, not as a stuck test.
std::shared_ptr<const SampleSet> decodeWithin(const fs::path& path, int rate,
                                              std::chrono::seconds limit) {
    auto decoding = std::async(std::launch::async, [&] { return decodeSoundFile(path, rate); });
    if (decoding.wait_for(limit) == std::future_status::timeout) {
        std::fprintf(stderr, "%s: decoding hangs\n", path.c_str());
        std::_Exit(1);
    }
    return decoding.get();
}

// Every file comes out as 0.1 s of stereo at the device's rate, holding the sound that was
// written at the same moments: mono on both sides, the even channels averaged into the left and
// the odd ones into the right. Only the edges of a resampled sound may differ.
TEST(DecodeSoundFile, ReadsEveryFormatAsStereoAtTheDeviceRate) {
    const TempDir dir;
    // Format, rate and channels, and the tolerance: the format's quantisation or the resampler's
    // error.
    using Good = std::tuple<int, int, int, double>;
    for (const auto& [format, rate, channels, tolerance] :
         {Good{SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 48000, 2, 1.0 / 64}, Good{kWav16, 48000, 2, 1e-4},
          Good{SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2, 1e-6},
          Good{SF_FORMAT_WAV | SF_FORMAT_PCM_32, 48000, 2, 1e-6}, Good{kWavFloat, 48000, 1, 1e-7},
          Good{kWavFloat, 48000, 4, 1e-6}, Good{kWav16, 22050, 1, 1e-3},
          Good{SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 1e-3},
          Good{SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 96000, 2, 1e-3}}) {
        SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << format << std::dec << " at "
                                        << rate << " Hz, " << channels << " channels");
        writeSine(dir.path / "sound", format, rate, channels, rate / 10);
        const auto set = decodeSoundFile(dir.path / "sound", 48000);
        EXPECT_EQ(set->sampleRate, 48000);
        ASSERT_NEAR(static_cast<double>(set->frames()), 4800.0, rate == 48000 ? 0.0 : 2.0);
        for (std::size_t i = 240; i < 4560; i += 7) {
            double side[2] = {0.0, 0.0};
            for (int ch = 0; ch < channels; ++ch) {
                side[ch % 2] += sineAt(48000, i, ch) / ((channels + 1 - ch % 2) / 2);
            }
            const double right = channels == 1 ? side[0] : side[1];
            ASSERT_NEAR(set->samples[2 * i], side[0], tolerance) << "frame " << i;
            ASSERT_NEAR(set->samples[2 * i + 1], right, tolerance) << "frame " << i;
        }
    }
}

// The regression corpus (malformed files made by hand and the inputs the fuzzer found) and the
// bad files that cannot be committed: those in kDecodable decode, to finite stereo at the asked
// rate; every other file is refused with a SoundError naming it, and its fault where kReasons
// gives (part of) one. Nothing crashes, hangs or throws anything else.
const std::set<std::string> kDecodable{"aiff-frames-4g.aiff", "aiff-ssnd-size-4g.aiff",
                                       "block-align-0.wav",   "channels-32.wav",
                                       "data-size-odd.wav",   "double-huge.wav",
                                       "float-max-4ch.wav",   "good-pcm16.aiff",
                                       "good-pcm16.wav",      "good-vorbis.ogg",
                                       "good.flac",           "many-chunks.wav",
                                       "one-frame-8k.aiff",   "one-frame.wav",
                                       "rate-384000.wav",     "riff-size-0.wav",
                                       "riff-size-4g.wav",    "silence-480000-frames-8ch-384k.flac",
                                       "silence-5s-1k.flac",  "tone-5s-1k.wav"};
using Reason = std::pair<const std::string, std::string>;
const std::map<std::string, std::string> kReasons{
    Reason{"missing", "does not exist"},
    Reason{"folder", "folder"},
    Reason{"pipe", "not a regular file"},
    Reason{"480001-frames", "too many frames"},
    Reason{"empty.wav", "empty"},
    Reason{"text.wav", "not recognised"},
    Reason{"header-cut.wav", "data"},
    Reason{"data-cut.wav", "truncated"},
    Reason{"found-snd-it-holds-no-sound-zero-frames-a0cb9a30", "no sound"},
    Reason{"tone-6s-1k.wav", "too long"},
    Reason{"float-nan.wav", "not finite"}};

TEST(DecodeSoundFile, RefusesBadFilesNamingFileAndReasonAndReplaysTheCorpus) {
    const TempDir dir;
    fs::create_directory(dir.path / "folder");
    ASSERT_EQ(mkfifo((dir.path / "pipe").c_str(), 0600), 0);
    writeSine(dir.path / "480001-frames", kWav16, 384000, 1, 480001);
    std::vector<fs::path> files{dir.path / "missing", dir.path / "folder", dir.path / "pipe",
                                dir.path / "480001-frames"};
    const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "corpus" / "voice";
    for (const auto& entry : fs::directory_iterator(corpus)) {
        files.push_back(entry.path());
    }
    EXPECT_GT(files.size(), 50U) << corpus;
    for (const fs::path& path : files) {
        const std::string name = path.filename().string();
        for (const int rate : {48000, 44100}) {
            SCOPED_TRACE(name + " at " + std::to_string(rate));
            try {
                const auto set = decodeWithin(
                    path, rate, std::chrono::seconds(path.parent_path() == corpus ? 60 : 10));
                EXPECT_TRUE(kDecodable.contains(name)) << "decoded";
                EXPECT_EQ(set->sampleRate, rate);
                EXPECT_GT(set->frames(), 0U);
                EXPECT_TRUE(std::all_of(set->samples.begin(), set->samples.end(),
                                        [](float x) { return std::isfinite(x); }));
            } catch (const SoundError& error) {
                const std::string message = error.what();
                EXPECT_FALSE(kDecodable.contains(name)) << message;
                EXPECT_NE(message.find(path.string()), std::string::npos) << message;
                EXPECT_NE(message.find(kReasons.contains(name) ? kReasons.at(name) : ""),
                          std::string::npos)
                    << message;
            }
        }
    }
}

/// The left channel of a voice file the build wrote beside the program, after checking that
/// it is a short 16-bit stereo WAV at 44.1 kHz peaking at -1 dBFS and ending in silence.
std::vector<double> readVoice(const char* name) {
    SF_INFO info{};
    SNDFILE* file = sf_open((executableDirectory() / name).c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << name << ": " << sf_strerror(nullptr);
    std::vector<double> frames(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_double(file, frames.data(), info.frames);
    sf_close(file);
    EXPECT_EQ(std::tuple(info.format, info.samplerate, info.channels),
              std::tuple(kWav16, 44100, 2));
    EXPECT_LT(info.frames, 44100 * 150 / 1000);
    std::vector<double> left;
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        left.push_back(frames[i]);
    }
    EXPECT_NEAR(20.0 * std::log10(std::max(-*std::min_element(left.begin(), left.end()),
                                           *std::max_element(left.begin(), left.end()))),
                -1.0, 0.2);
    EXPECT_NEAR(left.empty() ? 1.0 : left.back(), 0.0, 1e-3) << "the sound must end in silence";
    return left;
}

/// Half periods of a sound by its zero crossings: their count per second, and how much their
/// lengths vary (0 for a pure tone).
std::pair<double, double> halfPeriods(const std::vector<double>& x) {
    std::vector<double> lengths;
    for (std::size_t i = 1, last = 0; i < x.size(); ++i) {
        if ((x[i - 1] < 0.0) != (x[i] < 0.0)) {
            lengths.push_back(double(i - std::exchange(last, i)));
        }
    }
    const double mean = double(x.size()) / double(lengths.size());
    double spread = 0.0;
    for (std::size_t i = 1; i < lengths.size(); ++i) {
        spread += std::fabs(lengths[i] - mean) / double(lengths.size());
    }
    return {44100.0 / mean, spread / mean};
}

// The click is a 2 kHz tick: 4000 half periods a second, regular. The hat is high noise: far
// more crossings, and irregular ones.
TEST(VoiceFiles, ClickIsAShortPitchedTickAndHatIsHighNoise) {
    const auto [clickRate, clickSpread] = halfPeriods(readVoice("click.wav"));
    EXPECT_NEAR(clickRate, 4000.0, 400.0);
    EXPECT_LT(clickSpread, 0.25);
    const auto [hatRate, hatSpread] = halfPeriods(readVoice("hat.wav"));
    EXPECT_GT(hatRate, 14000.0);
    EXPECT_GT(hatSpread, 0.3);
}

} // namespace
} // namespace metro::sound
