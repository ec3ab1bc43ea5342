#include "metro/core/PeriodicTimer.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/VoiceBank.h"

#include "Onsets.h"
#include "PipeWireServer.h"
#include "PulseServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <regex>
#include <thread>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;
using testsupport::PipeWireServer;
using testsupport::PulseServer;
using testsupport::SoundServer;

constexpr int kClicks = 20;
constexpr std::int32_t kPeriodMs = 150;
constexpr std::int64_t kPeriodFrames = 7200; // 150 ms at 48 kHz

// The measurement below stands on the onset finder: each burst found at its first loud frame,
// and a sound that follows too soon after another counted as part of it.
TEST(Onsets, FoundAtEachBurstsFirstFrame) {
    std::vector<float> stereo(2 * 20000, 0.0F);
    for (const std::size_t start : {0U, 5000U, 6000U, 12201U}) {
        for (std::size_t i = 0; i < 300; ++i) {
            stereo[2 * (start + i) + 1] = (i % 2 == 0 ? 1.0F : -1.0F) / static_cast<float>(i + 1);
        }
    }
    EXPECT_EQ(testsupport::FindOnsets(stereo, 2), (std::vector<std::int64_t>{0, 5000, 12201}));
}

// With SDL's PulseAudio driver and no server to reach, opening fails at once, with a reason,
// and leaves the service closed.
TEST(EngineSoundService, ReportsADeviceThatCannotOpen) {
    setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
    setenv("PULSE_SERVER", "unix:/nonexistent/metro-no-server", 1);
    EngineSoundService service(std::make_unique<DeviceOutput>());
    try {
        service.open();
        FAIL() << "opened a device with no sound server";
    } catch (const SoundError& error) {
        const std::regex withReason("Cannot (start|open) the sound (system|device): .+");
        EXPECT_TRUE(std::regex_match(error.what(), withReason)) << error.what();
    }
    EXPECT_EQ(service.mixer(), nullptr);
}

struct Attempt {
    std::vector<std::int64_t> onsets;
    std::size_t underruns = 0;
    std::uint64_t lateStarts = 0;
    std::uint64_t gridCorrections = 0;
};

/// Plays the clicks once, from opening the device to closing it, recording the monitor.
Attempt playClicks(const SoundServer& server) {
    // The recorder first: a stream joining PulseAudio's idle null sink got no callbacks here for
    // up to 2 s, but started at once while a recorder was already reading from the sink.
    testsupport::MonitorRecording recording(server);
    EngineSoundService sound(std::make_unique<DeviceOutput>());
    sound.open();
    EXPECT_EQ(sound.sampleRate(), 48000);
    VoiceBank bank(sound);
    bank.SETIT();
    // As in the program, the stream runs a while before the first beat, so that the output
    // has matched its buffers to the device's cycle and the mixer's clock map has settled.
    std::this_thread::sleep_for(2500ms);
    const std::size_t underrunsBefore = server.underruns();

    core::PeriodicTimer timer;
    std::atomic<int> played{0};
    const std::int32_t event = timer.setEvent(kPeriodMs, [&](const core::TimerCall& call) {
        if (played.load() < kClicks) {
            // A late wake-up of 0..8 ms, different on each beat: the click must not move.
            std::this_thread::sleep_for(std::chrono::milliseconds(call.index * 5 % 9));
            sound.play({.slot = static_cast<int>(call.index - 1) % 4 + 1,
                        .scheduled = call.scheduled,
                        .run = 1});
            ++played;
        }
    });
    while (event != 0 && played.load() < kClicks) {
        std::this_thread::sleep_for(10ms);
    }
    timer.killEvent(event);
    std::this_thread::sleep_for(sound.outputLatency() + 300ms);

    // Underruns counted before the recorder leaves: its going can leave a cycle unfinished.
    const std::size_t underruns = server.underruns() - underrunsBefore;
    Attempt attempt{.onsets = testsupport::FindOnsets(recording.stop(), 2),
                    .underruns = underruns,
                    .lateStarts = sound.mixer()->lateStarts(),
                    .gridCorrections = sound.mixer()->gridCorrections()};
    sound.close();
    return attempt;
}

/// The sound servers a Linux desktop runs, each with the SDL driver that reaches it; PipeWire
/// also with its graph held at cycles of 1024 frames, as desktops that raise the quantum do.
enum class Server { PulseAudio, PipeWire, PipeWireLargeCycles, PipeWirePulse };

std::string serverName(Server server) {
    switch (server) {
    case Server::PulseAudio:
        return "PulseAudio";
    case Server::PipeWire:
        return "PipeWire";
    case Server::PipeWireLargeCycles:
        return "PipeWireLargeCycles";
    case Server::PipeWirePulse:
        return "PipeWirePulse";
    }
    return "Unknown";
}

// Names the server in test names and messages.
void PrintTo(Server server, std::ostream* out) {
    *out << serverName(server);
}

std::unique_ptr<SoundServer> startServer(Server server) {
    switch (server) {
    case Server::PulseAudio:
        return std::make_unique<PulseServer>(48000);
    case Server::PipeWire:
        return std::make_unique<PipeWireServer>(PipeWireServer::Route::Native, 48000);
    case Server::PipeWireLargeCycles: {
        auto pipewire = std::make_unique<PipeWireServer>(PipeWireServer::Route::Native, 48000);
        const int status = testsupport::RunProgram(
            {"pw-metadata", "-n", "settings", "0", "clock.force-quantum", "1024"},
            pipewire->clientEnvironment(), pipewire->runtimeDir() / "metadata.log");
        if (status != 0) {
            throw testsupport::ServerUnavailable("pw-metadata could not set the quantum");
        }
        return pipewire;
    }
    case Server::PipeWirePulse:
        return std::make_unique<PipeWireServer>(PipeWireServer::Route::PulseAudio, 48000);
    }
    return nullptr;
}

class RealDevice : public testing::TestWithParam<Server> {};

// The real path: the periodic timer cues the sound service (a few ms late on purpose), SDL2
// plays into a private server's null sink, and every click on the sink's monitor must lie
// exactly one period after the last. A run in which the stream ran dry (the machine too busy)
// shows nothing about placement, so it is run again, up to three times, each on a new server
// (a second stream on a PulseAudio server that has played before started its first beats late).
TEST_P(RealDevice, PlaysEveryClickExactlyOnItsFrame) {
    Attempt attempt;
    for (int i = 1; i <= 3; ++i) {
        std::unique_ptr<SoundServer> server;
        try {
            server = startServer(GetParam());
        } catch (const testsupport::ServerUnavailable& error) {
            GTEST_SKIP() << serverName(GetParam()) << " cannot start here: " << error.what();
        }
        server->exportToThisProcess();
        attempt = playClicks(*server);
        if (attempt.underruns == 0) {
            break;
        }
        std::cout << "attempt " << i << ": " << attempt.underruns << " playback underruns\n";
    }
    ASSERT_EQ(attempt.underruns, 0U) << "the stream ran dry in every attempt";
    std::vector<std::int64_t> intervals;
    for (std::size_t i = 1; i < attempt.onsets.size(); ++i) {
        intervals.push_back(attempt.onsets[i] - attempt.onsets[i - 1]);
    }
    EXPECT_EQ(attempt.onsets.size(), static_cast<std::size_t>(kClicks));
    EXPECT_EQ(intervals, std::vector<std::int64_t>(kClicks - 1, kPeriodFrames))
        << "late starts " << attempt.lateStarts << ", grid corrections " << attempt.gridCorrections;
}

INSTANTIATE_TEST_SUITE_P(Servers, RealDevice,
                         testing::Values(Server::PulseAudio, Server::PipeWire,
                                         Server::PipeWireLargeCycles, Server::PipeWirePulse),
                         testing::PrintToStringParamName());

} // namespace
} // namespace metro::sound
