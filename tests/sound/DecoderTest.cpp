#include "metro/sound/VoiceBank.h"

#include "SoundFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <limits>
#include <string>

namespace metro::sound {
namespace {

namespace fs = std::filesystem;
using test::writeSine;
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

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
    const test::TempDir dir;
    for (const BadFile& bad : kBadFiles) {
        SCOPED_TRACE(bad.name);
        const fs::path path = dir.path / (std::string(bad.name) + ".wav");
        bad.make(path);
        try {
            decodeSoundFile(path, 48000);
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
    const test::TempDir dir;
    for (const GoodFile& good : kGoodFiles) {
        SCOPED_TRACE(good.name);
        writeSine(dir.path / "sound", good.format, good.rate, good.channels, good.rate / 10);
        const auto set = decodeSoundFile(dir.path / "sound", 48000);
        EXPECT_EQ(set->sampleRate, 48000);
        ASSERT_NEAR(static_cast<double>(set->frames()), 4800.0, good.rate == 48000 ? 0.0 : 2.0);
        for (std::size_t i = 240; i < 4560; i += 7) {
            double side[2] = {0.0, 0.0};
            for (int ch = 0; ch < good.channels; ++ch) {
                side[ch % 2] += test::sineAt(48000, i, ch) / ((good.channels + 1 - ch % 2) / 2);
            }
            const double right = good.channels == 1 ? side[0] : side[1];
            ASSERT_NEAR(set->samples[2 * i], side[0], good.tolerance) << "frame " << i;
            ASSERT_NEAR(set->samples[2 * i + 1], right, good.tolerance) << "frame " << i;
        }
    }
}

/// The regression corpus: malformed files made by hand and the inputs the fuzzer found.
const fs::path kCorpus = fs::path(__FILE__).parent_path().parent_path() / "corpus" / "voice";

/// Decodes like the voice bank does, but gives up on the whole run when a file takes longer
/// than `limit`: a hang shows as a failure naming the file, not as a stuck test.
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

// Every file in the corpus either decodes to finite stereo at the asked rate or is refused
// with a SoundError naming it; nothing crashes, hangs or throws anything else.
TEST(DecodeSoundFile, ReplaysTheCorpusWithoutAFault) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(kCorpus)) {
        ++files;
        for (const int rate : {48000, 44100}) {
            SCOPED_TRACE(entry.path().filename().string() + " at " + std::to_string(rate));
            try {
                const auto set = decodeWithin(entry.path(), rate, std::chrono::seconds(60));
                EXPECT_EQ(set->sampleRate, rate);
                EXPECT_GT(set->frames(), 0U);
                EXPECT_TRUE(std::all_of(set->samples.begin(), set->samples.end(),
                                        [](float x) { return std::isfinite(x); }));
            } catch (const SoundError& error) {
                EXPECT_NE(std::string(error.what()).find(entry.path().string()), std::string::npos);
            } catch (const std::exception& error) {
                ADD_FAILURE() << "threw " << error.what();
            }
        }
    }
    EXPECT_GT(files, 50) << kCorpus;
}

} // namespace
} // namespace metro::sound
