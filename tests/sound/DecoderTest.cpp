#include "metro/sound/VoiceBank.h"

#include "SoundFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

namespace metro::sound {
namespace {

namespace fs = std::filesystem;
using test::SoundFileSpec;
using test::TempDir;

std::string decodeError(const fs::path& path, int rate = 48000) {
    try {
        DecodeSoundFile(path, rate);
    } catch (const SoundError& error) {
        return error.what();
    }
    return "(no error)";
}

struct BadFile {
    const char* name;
    void (*make)(const fs::path&);
    const char* reason; // part of the expected message
};

void copyPrefix(const fs::path& from, const fs::path& to, std::size_t bytes) {
    std::ifstream in(from, std::ios::binary);
    std::string data(bytes, '\0');
    in.read(data.data(), static_cast<std::streamsize>(bytes));
    std::ofstream(to, std::ios::binary).write(data.data(), in.gcount());
}

const BadFile kBadFiles[] = {
    {"missing", [](const fs::path&) {}, "does not exist"},
    {"folder", [](const fs::path& p) { fs::create_directory(p); }, "folder"},
    {"empty", [](const fs::path& p) { std::ofstream{p}; }, "empty"},
    {"text", [](const fs::path& p) { std::ofstream{p} << "not a sound at all\n"; },
     "Format not recognised"},
    {"header-cut",
     [](const fs::path& p) {
         test::WriteSine(p.string() + ".full", {});
         copyPrefix(p.string() + ".full", p, 30);
     },
     "data"},
    {"data-cut",
     [](const fs::path& p) {
         test::WriteSine(p.string() + ".full", {});
         copyPrefix(p.string() + ".full", p, 2000);
     },
     "truncated"},
    {"zero-frames", [](const fs::path& p) { test::WriteSine(p, SoundFileSpec{}.withFrames(0)); },
     "no sound"},
    {"six-seconds",
     [](const fs::path& p) {
         test::WriteSine(p, SoundFileSpec{}.withRate(8000).withChannels(1).withFrames(48000));
     },
     "too long"},
    {"nan",
     [](const fs::path& p) {
         test::WriteSine(p, SoundFileSpec{}
                                .withFormat(SF_FORMAT_WAV | SF_FORMAT_FLOAT)
                                .withPoison(std::numeric_limits<float>::quiet_NaN()));
     },
     "not finite"},
    {"infinity",
     [](const fs::path& p) {
         test::WriteSine(p, SoundFileSpec{}
                                .withFormat(SF_FORMAT_WAV | SF_FORMAT_FLOAT)
                                .withPoison(std::numeric_limits<float>::infinity()));
     },
     "not finite"},
};

TEST(DecodeSoundFile, RefusesBadFilesNamingFileAndReason) {
    const TempDir dir;
    for (const BadFile& bad : kBadFiles) {
        SCOPED_TRACE(bad.name);
        const fs::path path = dir.path() / (std::string(bad.name) + ".wav");
        bad.make(path);
        const std::string message = decodeError(path);
        EXPECT_NE(message.find(path.string()), std::string::npos) << message;
        EXPECT_NE(message.find(bad.reason), std::string::npos) << message;
    }
}

TEST(DecodeSoundFile, RefusesAnUnusableOutputRate) {
    const TempDir dir;
    test::WriteSine(dir.path() / "good.wav", {});
    EXPECT_NE(decodeError(dir.path() / "good.wav", 0).find("output rate"), std::string::npos);
}

struct GoodFormat {
    const char* name;
    int format;
    double tolerance; // quantisation step of the format
};

const GoodFormat kFormats[] = {
    {"wav u8", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1.0 / 64},
    {"wav 16", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1e-4},
    {"wav 24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1e-6},
    {"wav 32", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1e-6},
    {"wav float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1e-7},
    {"wav double", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1e-7},
    {"aiff 16", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1e-4},
    {"flac 16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1e-4},
};

// At the device's own rate nothing is resampled, so every sample must come back as written.
TEST(DecodeSoundFile, ReadsEverySampleFormatExactly) {
    const TempDir dir;
    for (const GoodFormat& good : kFormats) {
        SCOPED_TRACE(good.name);
        const fs::path path = dir.path() / "sound";
        const SoundFileSpec spec =
            SoundFileSpec{}.withFormat(good.format).withRate(48000).withChannels(2);
        test::WriteSine(path, spec);
        const auto set = DecodeSoundFile(path, 48000);
        ASSERT_EQ(set->frames(), static_cast<std::size_t>(spec.frames));
        EXPECT_EQ(set->sampleRate, 48000);
        for (std::size_t i = 0; i < set->frames(); i += 97) {
            EXPECT_NEAR(set->samples[2 * i], test::SineAt(spec, i, 0), good.tolerance);
            EXPECT_NEAR(set->samples[2 * i + 1], test::SineAt(spec, i, 1), good.tolerance);
        }
    }
}

TEST(DecodeSoundFile, SpreadsMonoAndFoldsManyChannelsToStereo) {
    const TempDir dir;
    const SoundFileSpec mono =
        SoundFileSpec{}.withFormat(SF_FORMAT_WAV | SF_FORMAT_FLOAT).withChannels(1);
    test::WriteSine(dir.path() / "mono.wav", mono);
    const auto spread = DecodeSoundFile(dir.path() / "mono.wav", 48000);
    for (std::size_t i = 0; i < spread->frames(); i += 53) {
        const auto written = static_cast<float>(test::SineAt(mono, i, 0));
        EXPECT_EQ(spread->samples[2 * i], written);
        EXPECT_EQ(spread->samples[2 * i + 1], written);
    }

    // Channels 0 and 2 make the left, 1 and 3 the right.
    const SoundFileSpec quad =
        SoundFileSpec{}.withFormat(SF_FORMAT_WAV | SF_FORMAT_FLOAT).withChannels(4);
    test::WriteSine(dir.path() / "quad.wav", quad);
    const auto folded = DecodeSoundFile(dir.path() / "quad.wav", 48000);
    ASSERT_EQ(folded->frames(), static_cast<std::size_t>(quad.frames));
    for (std::size_t i = 0; i < folded->frames(); i += 53) {
        const double left = (test::SineAt(quad, i, 0) + test::SineAt(quad, i, 2)) / 2;
        const double right = (test::SineAt(quad, i, 1) + test::SineAt(quad, i, 3)) / 2;
        EXPECT_NEAR(folded->samples[2 * i], left, 1e-6);
        EXPECT_NEAR(folded->samples[2 * i + 1], right, 1e-6);
    }
}

// Another rate is converted to the device's: the same duration, the same pitch and level.
TEST(DecodeSoundFile, ConvertsOtherRatesToTheDeviceRate) {
    const TempDir dir;
    for (const int rate : {22050, 44100, 96000}) {
        SCOPED_TRACE(rate);
        const SoundFileSpec spec =
            SoundFileSpec{}.withRate(rate).withChannels(1).withFrames(rate / 10);
        test::WriteSine(dir.path() / "sound.wav", spec);
        const auto set = DecodeSoundFile(dir.path() / "sound.wav", 48000);
        EXPECT_NEAR(static_cast<double>(set->frames()), 4800.0, 2.0);
        EXPECT_EQ(set->sampleRate, 48000);

        // Away from the edges: peak of the 1 kHz sine and its zero crossings (200 in 0.1 s).
        double peak = 0.0;
        int crossings = 0;
        for (std::size_t i = 480; i + 480 < set->frames(); ++i) {
            peak = std::max(peak, static_cast<double>(std::abs(set->samples[2 * i])));
            crossings += (set->samples[2 * i] < 0) != (set->samples[2 * i + 2] < 0) ? 1 : 0;
        }
        EXPECT_NEAR(peak, spec.amplitude, 0.01);
        EXPECT_NEAR(crossings, 160, 2); // 80 ms of 1 kHz between the edges
    }
}

TEST(ExecutableDirectory, IsTheProgramsFolderNotTheWorkingDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(fs::temp_directory_path());
    const fs::path dir = ExecutableDirectory();
    fs::current_path(before);
    EXPECT_TRUE(fs::exists(dir / "sound_io_tests")) << dir;
    EXPECT_NE(dir, fs::temp_directory_path());
}

} // namespace
} // namespace metro::sound
