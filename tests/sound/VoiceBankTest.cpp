#include "metro/sound/VoiceBank.h"

#include "SoundFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <string>

namespace metro::sound {
namespace {

namespace fs = std::filesystem;
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

/// A sound service that logs the voice calls it gets: " r0" releases slot 0, " c1" creates 1.
class LoggingService final : public SoundService {
public:
    void open() override {}
    void close() override {}
    int sampleRate() const override { return 48000; }
    core::Clock::duration outputLatency() const override { return {}; }
    void createVoice(int slot, std::shared_ptr<const SampleSet> sound) override {
        log += " c" + std::to_string(slot);
        voices.at(static_cast<std::size_t>(slot)) = std::move(sound);
    }
    void releaseVoice(int slot) override {
        log += " r" + std::to_string(slot);
        voices.at(static_cast<std::size_t>(slot)).reset();
    }
    bool hasVoice(int slot) const override {
        return voices.at(static_cast<std::size_t>(slot)) != nullptr;
    }
    void setVolume(int slot, Level /*level*/) override { log += " v" + std::to_string(slot); }
    void play(const core::BeatCue& /*cue*/) noexcept override {}

    std::string log;
    std::array<std::shared_ptr<const SampleSet>, kSlotCount> voices;
};

// A load releases slots 0..4, then creates 1..4 from one decoded copy; a file that cannot be
// used is found before anything is released, so the voices loaded now stay.
TEST(VoiceBank, ReloadsAllSlotsOnlyAfterTheNewFileDecodes) {
    const test::TempDir dir;
    test::writeSine(dir.path / "click.wav", kWav16, 48000, 2, 480);
    test::writeSine(dir.path / "hat.wav", kWav16, 48000, 1, 960);
    LoggingService service;
    VoiceBank bank(service, dir.path);
    bank.SETIT();
    bank.setithat();
    const std::string load = " r0 r1 r2 r3 r4 c1 c2 c3 c4";
    EXPECT_EQ(service.log, load + load);
    EXPECT_EQ(service.voices[1]->name, (dir.path / "hat.wav").string());
    EXPECT_EQ(service.voices[1], service.voices[4]);

    const auto hatVoice = service.voices[3];
    service.log.clear();
    std::ofstream(dir.path / "click.wav") << "damaged";
    EXPECT_THROW(bank.SETIT(), SoundError);
    EXPECT_EQ(service.log, "");
    EXPECT_EQ(bank.loaded(), VoiceSound::HiHat);
    EXPECT_EQ(service.voices[3], hatVoice);
}

// With no folder given the bank reads the files the build put beside the program, not the
// ones in the working directory.
TEST(VoiceBank, LoadsFromTheProgramsFolderByDefault) {
    const test::TempDir dir;
    test::writeSine(dir.path / "hat.wav", kWav16, 48000, 1, 960);
    const fs::path before = fs::current_path();
    fs::current_path(dir.path);
    LoggingService service;
    VoiceBank bank(service);
    bank.setithat();
    fs::current_path(before);
    const fs::path loaded = service.voices[1]->name;
    EXPECT_TRUE(fs::exists(loaded.parent_path() / "sound_io_tests")) << loaded;
}

} // namespace
} // namespace metro::sound
