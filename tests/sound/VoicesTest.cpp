// Voice files: decoding every format and refusing bad files, the voice bank's reload order, and
// the two voice files the build writes.
#include "metro/sound/VoiceBank.h"

#include "Fakes.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <limits>
#include <numbers>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace metro::sound {
namespace {

namespace fs = std::filesystem;
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

/// A folder of its own under /tmp, removed with everything in it.
struct TempDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("metro-test-" + std::to_string(getpid()));
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
};

/// Channel `channel` of the test sound: a 1 kHz sine of 0.5, quieter and phase-shifted on each
/// further channel.
double sineAt(int rate, std::size_t frame, int channel) {
    const double t = static_cast<double>(frame) / rate;
    return 0.5 * (1.0 - 0.2 * channel) * std::sin(2000.0 * std::numbers::pi * t + 0.7 * channel);
}

/// Writes `frames` frames of the test sound, with `poison` over the first sample of frame 100.
void writeSine(const std::filesystem::path& path, int format, int rate, int channels, int frames,
               float poison = 0.0F) {
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

/// Decodes, but ends the whole program when a file takes longer than `limit`: a hang shows as
/// a failure naming the file, not as a stuck test.
std::shared_ptr<const SampleSet> decodeWithin(const fs::path& path, int rate,
                                              std::chrono::seconds limit) {
    auto decoding = std::async(std::launch::async, [&] { return decodeSoundFile(path, rate); });
    if (decoding.wait_for(limit) == std::future_status::timeout) {
        std::fprintf(stderr, "%s still decoding after %llds\n", path.c_str(),
                     static_cast<long long>(limit.count()));
        std::_Exit(1);
    }
    return decoding.get();
}

/// The first `bytes` bytes of a good 0.1 s file.
void writeCut(const fs::path& path, std::uintmax_t bytes) {
    writeSine(path, kWav16, 48000, 2, 4800);
    fs::resize_file(path, bytes);
}

struct BadFile {
    const char* name;
    void (*make)(const fs::path&);
    const char* reason; // part of the expected message
};

const BadFile kBadFiles[] = {
    {"missing", [](const fs::path&) {}, "does not exist"},
    {"folder", [](const fs::path& p) { fs::create_directory(p); }, "folder"},
    {"pipe", [](const fs::path& p) { mkfifo(p.c_str(), 0600); }, "not a regular file"},
    {"empty", [](const fs::path& p) { std::ofstream{p}; }, "empty"},
    {"text", [](const fs::path& p) { std::ofstream{p} << "not a sound\n"; }, "not recognised"},
    {"header-cut", [](const fs::path& p) { writeCut(p, 30); }, "data"},
    {"data-cut", [](const fs::path& p) { writeCut(p, 2000); }, "truncated"},
    {"zero-frames", [](const fs::path& p) { writeSine(p, kWav16, 48000, 2, 0); }, "no sound"},
    {"six-seconds", [](const fs::path& p) { writeSine(p, kWav16, 8000, 1, 48000); }, "too long"},
    {"slow-to-convert", [](const fs::path& p) { writeSine(p, kWav16, 384000, 1, 480001); },
     "too many frames"},
    {"nan",
     [](const fs::path& p) {
         writeSine(p, kWavFloat, 48000, 2, 4800, std::numeric_limits<float>::quiet_NaN());
     },
     "not finite"},
};

TEST(DecodeSoundFile, RefusesBadFilesNamingFileAndReason) {
    const TempDir dir;
    for (const BadFile& bad : kBadFiles) {
        SCOPED_TRACE(bad.name);
        const fs::path path = dir.path / (std::string(bad.name) + ".wav");
        bad.make(path);
        try {
            decodeWithin(path, 48000, std::chrono::seconds(10));
            ADD_FAILURE() << "accepted";
        } catch (const SoundError& error) {
            EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos);
            EXPECT_NE(std::string(error.what()).find(bad.reason), std::string::npos)
                << error.what();
        }
    }
}

struct GoodFile {
    const char* name;
    int format;
    int rate;
    int channels;
    double tolerance; // the format's quantisation, or the resampler's error
};

const GoodFile kGoodFiles[] = {
    {"wav u8", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 48000, 2, 1.0 / 64},
    {"wav 16", kWav16, 48000, 2, 1e-4},
    {"wav 24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2, 1e-6},
    {"wav 32", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 48000, 2, 1e-6},
    {"wav float mono", kWavFloat, 48000, 1, 1e-7},
    {"wav float 4 channels", kWavFloat, 48000, 4, 1e-6},
    {"wav 16 at 22050", kWav16, 22050, 1, 1e-3},
    {"flac 16 at 44100", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 1e-3},
    {"aiff 16 at 96000", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 96000, 2, 1e-3},
};

// Every file comes out as 0.1 s of stereo at the device's rate, holding the sound that was
// written at the same moments: mono on both sides, the even channels averaged into the left and
// the odd ones into the right. Only the edges of a resampled sound may differ.
TEST(DecodeSoundFile, ReadsEveryFormatAsStereoAtTheDeviceRate) {
    const TempDir dir;
    for (const GoodFile& good : kGoodFiles) {
        SCOPED_TRACE(good.name);
        writeSine(dir.path / "sound", good.format, good.rate, good.channels, good.rate / 10);
        const auto set = decodeSoundFile(dir.path / "sound", 48000);
        EXPECT_EQ(set->sampleRate, 48000);
        ASSERT_NEAR(static_cast<double>(set->frames()), 4800.0, good.rate == 48000 ? 0.0 : 2.0);
        for (std::size_t i = 240; i < 4560; i += 7) {
            double side[2] = {0.0, 0.0};
            for (int ch = 0; ch < good.channels; ++ch) {
                side[ch % 2] += sineAt(48000, i, ch) / ((good.channels + 1 - ch % 2) / 2);
            }
            const double right = good.channels == 1 ? side[0] : side[1];
            ASSERT_NEAR(set->samples[2 * i], side[0], good.tolerance) << "frame " << i;
            ASSERT_NEAR(set->samples[2 * i + 1], right, good.tolerance) << "frame " << i;
        }
    }
}

// The regression corpus: malformed files made by hand and the inputs the fuzzer found. These
// decode, to finite stereo at the asked rate; every other file is refused with a SoundError
// naming it. Nothing crashes, hangs or throws anything else.
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

TEST(DecodeSoundFile, ReplaysTheCorpusDecodingOrRefusingEachFileAsBefore) {
    const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "corpus" / "voice";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        ++files;
        const std::string name = entry.path().filename().string();
        for (const int rate : {48000, 44100}) {
            SCOPED_TRACE(name + " at " + std::to_string(rate));
            try {
                const auto set = decodeWithin(entry.path(), rate, std::chrono::seconds(60));
                EXPECT_TRUE(kDecodable.contains(name)) << "decoded";
                EXPECT_EQ(set->sampleRate, rate);
                EXPECT_GT(set->frames(), 0U);
                EXPECT_TRUE(std::all_of(set->samples.begin(), set->samples.end(),
                                        [](float x) { return std::isfinite(x); }));
            } catch (const SoundError& error) {
                EXPECT_FALSE(kDecodable.contains(name)) << error.what();
                EXPECT_NE(std::string(error.what()).find(entry.path().string()), std::string::npos);
            }
        }
    }
    EXPECT_GT(files, 50) << corpus;
}

// A load decodes first and then releases slots 0..4 and creates 1..4 from one decoded copy; a
// file that cannot be used is found before anything is released, so the voices stay.
TEST(VoiceBank, ReloadsAllSlotsOnlyAfterTheNewFileDecodes) {
    const TempDir dir;
    writeSine(dir.path / "click.wav", kWav16, 48000, 2, 480);
    writeSine(dir.path / "hat.wav", kWav16, 48000, 1, 960);
    testsupport::Log log;
    testsupport::FakeSound sound(&log);
    VoiceBank bank(sound, dir.path);
    bank.SETIT();
    EXPECT_EQ(log, (testsupport::Log{"r0", "r1", "r2", "r3", "r4", "c1", "c2", "c3", "c4"}));
    bank.setithat();
    EXPECT_EQ(sound.voices[1]->name, (dir.path / "hat.wav").string());
    EXPECT_EQ(sound.voices[1], sound.voices[4]) << "one decoded copy";
    log.clear();

    const auto hatVoice = sound.voices[3];
    std::ofstream(dir.path / "click.wav") << "damaged";
    EXPECT_THROW(bank.SETIT(), SoundError);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(bank.loaded(), VoiceSound::HiHat);
    EXPECT_EQ(sound.voices[3], hatVoice);
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
    EXPECT_EQ(info.format, kWav16);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 2);
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
