#include "metro/sound/VoiceBank.h"

#include "SoundFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

namespace metro::sound {
namespace {

namespace fs = std::filesystem;

/// A sound service that records the voice calls it gets, in order.
class RecordingService final : public SoundService {
public:
    void open() override {}
    void close() override {}
    int sampleRate() const override { return 48000; }
    core::Clock::duration outputLatency() const override { return {}; }

    void createVoice(int slot, std::shared_ptr<const SampleSet> sound) override {
        calls.push_back("create " + std::to_string(slot) + " " +
                        fs::path(sound->name).filename().string());
        voices.at(static_cast<std::size_t>(slot)) = std::move(sound);
    }
    void releaseVoice(int slot) override {
        calls.push_back("release " + std::to_string(slot));
        voices.at(static_cast<std::size_t>(slot)).reset();
    }
    bool hasVoice(int slot) const override {
        return voices.at(static_cast<std::size_t>(slot)) != nullptr;
    }
    void setVolume(int slot, Level level) override {
        calls.push_back("volume " + std::to_string(slot) + " " + std::to_string(level));
    }
    void play(const core::BeatCue& /*cue*/) noexcept override {}

    std::vector<std::string> calls;
    std::array<std::shared_ptr<const SampleSet>, kSlotCount> voices;
};

std::vector<std::string> loadCalls(const char* file) {
    std::vector<std::string> calls;
    for (int slot = 0; slot < 5; ++slot) {
        calls.push_back("release " + std::to_string(slot));
    }
    for (int slot = 1; slot < 5; ++slot) {
        calls.push_back("create " + std::to_string(slot) + " " + file);
    }
    return calls;
}

class VoiceBankTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::WriteSine(dir.path() / "click.wav", test::SoundFileSpec{}.withFrames(480));
        test::WriteSine(dir.path() / "hat.wav",
                        test::SoundFileSpec{}.withChannels(1).withFrames(960));
    }
    test::TempDir dir;
    RecordingService service;
};

// Every load releases slots 0..4 first, then creates 1..4 from one decoded copy, no levels.
TEST_F(VoiceBankTest, ReleasesAllSlotsBeforeCreatingFourVoicesOfOneSound) {
    VoiceBank bank(service, dir.path());
    bank.SETIT();
    EXPECT_EQ(service.calls, loadCalls("click.wav"));
    EXPECT_EQ(bank.loaded(), VoiceSound::Click);
    EXPECT_FALSE(service.hasVoice(0));
    EXPECT_EQ(service.voices[1]->frames(), 480U);
    EXPECT_EQ(service.voices[1], service.voices[4]);

    service.calls.clear();
    bank.setithat();
    EXPECT_EQ(service.calls, loadCalls("hat.wav"));
    EXPECT_EQ(bank.loaded(), VoiceSound::HiHat);
    EXPECT_EQ(service.voices[2]->frames(), 960U);
}

// A file that cannot be used leaves the voices loaded now untouched and reports itself.
TEST_F(VoiceBankTest, KeepsTheLoadedVoicesWhenTheNewFileFails) {
    VoiceBank bank(service, dir.path());
    bank.SETIT();
    const auto clickVoice = service.voices[3];
    service.calls.clear();

    fs::remove(dir.path() / "hat.wav");
    try {
        bank.setithat();
        FAIL() << "a missing hat.wav was accepted";
    } catch (const SoundError& error) {
        EXPECT_NE(std::string(error.what()).find("hat.wav"), std::string::npos);
    }
    EXPECT_TRUE(service.calls.empty());
    EXPECT_EQ(bank.loaded(), VoiceSound::Click);
    EXPECT_EQ(service.voices[3], clickVoice);

    std::ofstream(dir.path() / "click.wav") << "damaged";
    EXPECT_THROW(bank.SETIT(), SoundError);
    EXPECT_TRUE(service.calls.empty());
    EXPECT_EQ(service.voices[3], clickVoice);
}

TEST_F(VoiceBankTest, ReleaseVoicesEmptiesSlotsInIndexOrder) {
    VoiceBank bank(service, dir.path());
    bank.SETIT();
    service.calls.clear();
    bank.ReleaseVoices();
    EXPECT_EQ(service.calls, (std::vector<std::string>{"release 0", "release 1", "release 2",
                                                       "release 3", "release 4"}));
    EXPECT_EQ(bank.loaded(), VoiceSound::None);
    for (int slot = 0; slot < SoundService::kSlotCount; ++slot) {
        EXPECT_FALSE(service.hasVoice(slot));
    }
}

// With no folder given, the bank reads the files the build put beside the program.
TEST_F(VoiceBankTest, LoadsFromTheProgramsFolderByDefault) {
    const fs::path before = fs::current_path();
    fs::current_path(dir.path()); // holds test files that must not be picked up
    VoiceBank bank(service);
    bank.SETIT();
    bank.setithat();
    fs::current_path(before);
    EXPECT_EQ(service.voices[1]->name, (ExecutableDirectory() / "hat.wav").string());
    EXPECT_NE(service.voices[1]->frames(), 960U);
}

} // namespace
} // namespace metro::sound
