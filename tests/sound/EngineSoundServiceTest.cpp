#include "metro/sound/EngineSoundService.h"
#include "metro/sound/DeviceOutput.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;

/// An output that renders only when the test pulls a buffer.
class PulledOutput final : public AudioOutput {
public:
    void open(AudioSource& source) override { m_source = &source; }
    void close() override { m_source = nullptr; }
    int sampleRate() const override { return 44100; }
    std::size_t bufferFrames() const override { return 441; }

    bool isOpen() const { return m_source != nullptr; }
    std::vector<float> pull(core::TimePoint at) {
        std::vector<float> buffer(bufferFrames() * 2, 1.0F);
        m_source->render(buffer.data(), bufferFrames(), at);
        return buffer;
    }

private:
    AudioSource* m_source = nullptr;
};

std::shared_ptr<const SampleSet> soundAt(int rate) {
    auto set = std::make_shared<SampleSet>();
    set->name = "tone";
    set->sampleRate = rate;
    set->samples.assign(2 * 100, 0.5F);
    return set;
}

TEST(EngineSoundService, OpensTheMixerAtTheOutputsRate) {
    auto owned = std::make_unique<PulledOutput>();
    PulledOutput& output = *owned;
    EngineSoundService service(std::move(owned));
    EXPECT_EQ(service.mixer(), nullptr);
    service.open();
    ASSERT_NE(service.mixer(), nullptr);
    EXPECT_EQ(service.sampleRate(), 44100);
    // The mixer's fixed latency plus the device's buffering, three buffers of 10 ms.
    EXPECT_EQ(service.outputLatency(), EngineSoundService::kMixerLatency + 30ms);
    const auto silence = output.pull(core::Clock::now());
    EXPECT_EQ(silence, std::vector<float>(silence.size(), 0.0F));

    service.close();
    EXPECT_FALSE(output.isOpen());
    EXPECT_EQ(service.mixer(), nullptr);
    service.close();
}

TEST(EngineSoundService, UsesOnlySlotsOneToFour) {
    EngineSoundService service(std::make_unique<PulledOutput>());
    service.open();
    for (const int slot : {-1, 0, 5}) {
        service.createVoice(slot, soundAt(44100));
        service.releaseVoice(slot);
        service.setVolume(slot, -400);
        service.play({.slot = slot, .scheduled = core::Clock::now(), .run = 1});
        EXPECT_FALSE(service.hasVoice(slot));
    }
    service.createVoice(4, soundAt(44100));
    EXPECT_TRUE(service.hasVoice(4));
    service.releaseVoice(4);
    EXPECT_FALSE(service.hasVoice(4));
}

TEST(EngineSoundService, RefusesVoicesItCannotPlay) {
    EngineSoundService service(std::make_unique<PulledOutput>());
    EXPECT_THROW(service.createVoice(1, soundAt(44100)), SoundError); // not open yet
    service.open();
    EXPECT_THROW(service.createVoice(1, soundAt(48000)), SoundError);
    EXPECT_THROW(service.createVoice(1, nullptr), SoundError);
    EXPECT_FALSE(service.hasVoice(1));
}

// With SDL's PulseAudio driver and no server to reach, opening fails at once, with a reason.
TEST(EngineSoundService, ReportsADeviceThatCannotOpen) {
    setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
    setenv("PULSE_SERVER", "unix:/nonexistent/metro-no-server", 1);
    EngineSoundService service(std::make_unique<DeviceOutput>());
    try {
        service.open();
        FAIL() << "opened a device with no sound server";
    } catch (const SoundError& error) {
        EXPECT_NE(std::string(error.what()).find("sound"), std::string::npos) << error.what();
    }
    EXPECT_EQ(service.mixer(), nullptr);
    EXPECT_EQ(service.sampleRate(), 0);
    service.close();
}

} // namespace
} // namespace metro::sound
