// The program's sound path (beat timer, sound service, voice bank, the output it uses) playing
// into a private sound server's null sink, whose monitor is recorded and timed to the frame.
// Each case starts its own server: PulseAudio, PipeWire's pulse server (both through libpulse)
// and PipeWire's own API (through SDL2), so nothing is warm when a case begins.
#include "metro/core/PeriodicTimer.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/FallbackOutput.h"
#include "metro/sound/PulseOutput.h"
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
using testsupport::SoundServer;
using Clock = core::Clock;

constexpr std::int32_t kPeriodMs = 150;
constexpr std::int64_t kPeriodFrames = 7200; // 150 ms at 48 kHz

enum class Server { PulseAudio, PipeWirePulse, PipeWire, PipeWireLargeCycles };

void PrintTo(Server server, std::ostream* out) {
    constexpr const char* kNames[] = {"PulseAudio", "PipeWirePulse", "PipeWire",
                                      "PipeWireLargeCycles"};
    *out << kNames[static_cast<int>(server)];
}

std::unique_ptr<SoundServer> StartServer(Server server) {
    using testsupport::PipeWireServer;
    switch (server) {
    case Server::PulseAudio:
        return std::make_unique<testsupport::PulseServer>(48000);
    case Server::PipeWirePulse:
        return std::make_unique<PipeWireServer>(PipeWireServer::Route::PulseAudio, 48000);
    case Server::PipeWire:
        return std::make_unique<PipeWireServer>(PipeWireServer::Route::Native, 48000);
    case Server::PipeWireLargeCycles: {
        // A desktop that raised the graph's quantum: SDL gets one buffer per longer cycle.
        auto pipewire = std::make_unique<PipeWireServer>(PipeWireServer::Route::Native, 48000);
        if (testsupport::RunProgram({"pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                                     "1024"},
                                    pipewire->clientEnvironment(),
                                    pipewire->runtimeDir() / "metadata.log") != 0) {
            throw testsupport::ServerUnavailable("pw-metadata could not set the quantum");
        }
        return pipewire;
    }
    }
    return nullptr;
}

/// The sound service on the output the program picks (libpulse where the server has a pulse
/// side, else SDL2), the voices loaded, and the beat timer cueing it as the transport does.
struct Player {
    explicit Player(bool pulse) {
        auto output = pulse ? std::unique_ptr<AudioOutput>(std::make_unique<PulseOutput>())
                            : std::make_unique<DeviceOutput>();
        device = output.get();
        sound = std::make_unique<EngineSoundService>(std::move(output));
        sound->open();
        bank = std::make_unique<VoiceBank>(*sound);
        bank->SETIT(); // every slot at full level: each click's onset on the same frame
    }
    ~Player() { stop(); }

    void start() {
        sound->runChanged(true);
        started = Clock::now();
        event = timer.setEvent(kPeriodMs, [this](const core::TimerCall& call) {
            // A late wake-up of 0..8 ms, different on each beat: the click must not move.
            std::this_thread::sleep_for(std::chrono::milliseconds(call.index * 5 % 9));
            const auto before = Clock::now();
            sound->play({.slot = static_cast<int>(call.index - 1) % 4 + 1,
                         .scheduled = call.scheduled,
                         .run = 1});
            slowestPlay = std::max(slowestPlay.load(), Clock::now() - before);
            ++beats;
        });
    }
    void stop() {
        timer.killEvent(event);
        event = 0;
        sound->runChanged(false);
    }
    /// Waits up to `limit` for the service to say the device plays (or not); how long it took.
    Clock::duration waitForAvailable(bool wanted, Clock::duration limit) const {
        const auto start = Clock::now();
        while (sound->outputAvailable() != wanted && Clock::now() - start < limit) {
            std::this_thread::sleep_for(5ms);
        }
        return Clock::now() - start;
    }

    AudioOutput* device = nullptr;
    std::unique_ptr<EngineSoundService> sound;
    std::unique_ptr<VoiceBank> bank;
    core::PeriodicTimer timer;
    std::int32_t event = 0;
    Clock::time_point started{};
    std::atomic<int> beats{0};
    std::atomic<Clock::duration> slowestPlay{};
};

/// The onsets of a recording and their intervals, with the time each reached the sink counted
/// back from when the recording stopped (it runs without a break from its first sound).
struct Heard {
    Heard(const std::vector<float>& samples, Clock::time_point stopped)
        : onsets(testsupport::FindOnsets(samples, 2)), end(stopped),
          frames(static_cast<std::int64_t>(samples.size() / 2)) {
        for (std::size_t i = 1; i < onsets.size(); ++i) {
            intervals.push_back(onsets[i] - onsets[i - 1]);
        }
    }
    Clock::time_point timeOf(std::size_t i) const {
        return end - std::chrono::nanoseconds((frames - onsets.at(i)) * 1'000'000'000 / 48000);
    }
    /// The intervals that are not exactly one period.
    std::vector<std::int64_t> irregular() const {
        std::vector<std::int64_t> off;
        std::copy_if(intervals.begin(), intervals.end(), std::back_inserter(off),
                     [](std::int64_t interval) { return interval != kPeriodFrames; });
        return off;
    }
    std::vector<std::int64_t> onsets;
    std::vector<std::int64_t> intervals;
    Clock::time_point end;
    std::int64_t frames;
};

double Ms(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

class RealDevice : public testing::TestWithParam<Server> {
protected:
    void SetUp() override {
        try {
            server = StartServer(GetParam());
        } catch (const testsupport::ServerUnavailable& error) {
            GTEST_SKIP() << testing::PrintToString(GetParam())
                         << " cannot start here: " << error.what();
        }
        server->exportToThisProcess();
    }
    bool pulse() const { return GetParam() == Server::PulseAudio || GetParam() == Server::PipeWirePulse; }

    std::unique_ptr<SoundServer> server;
};

// Started as soon as the server answers, as at login: the server may hold the new stream a
// while, but every click heard is exactly one period after the last, the first one included,
// and the first comes a period and the lead after Start, or as soon as the stream plays.
TEST_P(RealDevice, PlaysEveryClickExactlyOnItsFrameFromAFreshServer) {
    Player player(pulse());
    player.start();
    testsupport::MonitorRecording recording(*server);
    std::this_thread::sleep_for(20 * 150ms + 100ms);
    player.stop();
    std::this_thread::sleep_for(player.sound->outputLatency() + 300ms);
    const Heard heard(recording.stop(), Clock::now());
    const auto firstAfter = heard.onsets.empty() ? 0ms : heard.timeOf(0) - player.started;
    std::cout << player.beats << " beats, " << heard.onsets.size() << " clicks, the first "
              << Ms(firstAfter) << " ms after Start; "
              << player.sound->mixer()->skippedCues() << " skipped, "
              << player.sound->mixer()->gridCorrections() << " corrections, "
              << player.sound->mixer()->resyncs() << " resyncs, " << server->underruns()
              << " underruns\n";
    EXPECT_EQ(heard.irregular(), std::vector<std::int64_t>{});
    EXPECT_GE(heard.onsets.size(), 10U);
}

INSTANTIATE_TEST_SUITE_P(Servers, RealDevice,
                         testing::Values(Server::PulseAudio, Server::PipeWirePulse,
                                         Server::PipeWire, Server::PipeWireLargeCycles),
                         testing::PrintToStringParamName());

} // namespace
} // namespace metro::sound
