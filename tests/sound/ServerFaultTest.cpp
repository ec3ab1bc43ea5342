// The program's sound path, beats from the real periodic timer every 150 ms, while its private
// PulseAudio server is killed and started again, or frozen and resumed. The beat thread must
// never wait on the server, nothing may count as played while the device is gone, and the
// clicks must come back by themselves, exactly on a grid of the period.
#include "metro/core/PeriodicTimer.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/VoiceBank.h"

#include "Onsets.h"
#include "PulseServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <memory>
#include <thread>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;
using testsupport::PulseServer;
using Clock = core::Clock;

constexpr std::int32_t kPeriodMs = 150;
constexpr std::int64_t kPeriodFrames = 7200; // 150 ms at 48 kHz
constexpr auto kRecovery = 2s;

/// The sound service on the real device, with the voices loaded, and the beat timer cueing it.
struct Player {
    Player() {
        auto output = std::make_unique<DeviceOutput>();
        device = output.get();
        sound = std::make_unique<EngineSoundService>(std::move(output));
        sound->open();
        bank = std::make_unique<VoiceBank>(*sound);
        bank->SETIT();
        std::this_thread::sleep_for(1s); // the stream settles before the first beat, as in use
    }
    ~Player() {
        timer.killEvent(event);
        sound->close();
    }

    void start() {
        event = timer.setEvent(kPeriodMs, [this](const core::TimerCall& call) {
            const auto before = Clock::now();
            sound->play({.slot = static_cast<int>(call.index - 1) % 4 + 1,
                         .scheduled = call.scheduled,
                         .run = 1});
            const auto took = (Clock::now() - before).count();
            slowestPlay.store(std::max(slowestPlay.load(), took));
            ++ticks;
        });
    }

    /// Waits up to `limit` for the service to say the device plays (or not); how long it took.
    Clock::duration waitForAvailable(bool wanted, Clock::duration limit) const {
        const auto start = Clock::now();
        while (sound->outputAvailable() != wanted && Clock::now() - start < limit) {
            std::this_thread::sleep_for(5ms);
        }
        return Clock::now() - start;
    }
    /// Beat timer calls during `span`, checked to go on at the period (loosely: a busy machine).
    void expectBeatsGoOnFor(Clock::duration span) {
        const int before = ticks.load();
        std::this_thread::sleep_for(span);
        EXPECT_GE(ticks.load() - before, static_cast<int>(span / 1ms) / kPeriodMs * 3 / 4);
    }

    DeviceOutput* device = nullptr;
    std::unique_ptr<EngineSoundService> sound;
    std::unique_ptr<VoiceBank> bank;
    core::PeriodicTimer timer;
    std::int32_t event = 0;
    std::atomic<int> ticks{0};
    std::atomic<Clock::rep> slowestPlay{0};
};

/// The onsets of a recording stopped at `stopped`, each with the time it reached the sink,
/// counted back from the end (the recording runs on without a break from its first sound).
struct Heard {
    Heard(const std::vector<float>& samples, Clock::time_point stopped)
        : onsets(testsupport::FindOnsets(samples, 2)), end(stopped),
          frames(static_cast<std::int64_t>(samples.size() / 2)) {}
    Clock::time_point timeOf(std::size_t i) const {
        return end - std::chrono::nanoseconds((frames - onsets.at(i)) * 1'000'000'000 / 48000);
    }
    /// Every interval from onset `from` on is exactly one period.
    void expectOnGridFrom(std::size_t from) const {
        for (std::size_t i = from + 1; i < onsets.size(); ++i) {
            EXPECT_EQ(onsets[i] - onsets[i - 1], kPeriodFrames) << "click " << i;
        }
    }
    std::vector<std::int64_t> onsets;
    Clock::time_point end;
    std::int64_t frames;
};

std::unique_ptr<PulseServer> startServer() {
    try {
        auto server = std::make_unique<PulseServer>(48000);
        server->exportToThisProcess();
        return server;
    } catch (const testsupport::PulseUnavailable& error) {
        std::cout << "PulseAudio cannot start here: " << error.what() << "\n";
        return nullptr;
    }
}

double ms(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

/// Clicks heard after a fault, and whether the stream ran dry once it was back: an underrun
/// moves every later sound, so such a recording says nothing about the grid.
struct Recovery {
    std::unique_ptr<Heard> heard;
    std::size_t first = 0;          // the first click after the fault
    Clock::duration firstAfter{};   // from the server's return to that click
    std::size_t underrunsAfter = 0; // from 300 ms after the server's return
};

/// Runs `fault` up to three times, until the stream does not run dry after it.
template <typename Fault> Recovery untilNoUnderrun(Fault fault) {
    Recovery recovery;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        recovery = fault();
        if (recovery.underrunsAfter == 0 || ::testing::Test::HasFatalFailure()) {
            break;
        }
        std::cout << "attempt " << attempt << ": " << recovery.underrunsAfter << " underruns\n";
    }
    EXPECT_EQ(recovery.underrunsAfter, 0U) << "the stream ran dry in every attempt";
    return recovery;
}

// Killed, the server takes the device with it; started again, the device is reopened.
TEST(ServerFaults, KilledServerIsReopenedAndTheClicksComeBackOnTheGrid) {
    const auto server = startServer();
    if (!server) {
        GTEST_SKIP() << "no PulseAudio";
    }
    const Recovery recovery = untilNoUnderrun([&] {
        Player player;
        player.start();
        // A null sink nobody listens to yet can hold a new stream up to 2 s before it runs.
        player.waitForAvailable(true, 3s);
        EXPECT_TRUE(player.sound->outputAvailable());
        std::this_thread::sleep_for(500ms);

        server->kill();
        const auto noticed = player.waitForAvailable(false, 1s);
        EXPECT_FALSE(player.sound->outputAvailable()) << "a dead device reported as playing";
        const auto resyncs = player.sound->mixer()->resyncs();
        player.expectBeatsGoOnFor(1s);
        EXPECT_GT(player.sound->droppedWithoutOutput(), 4U) << "beats while the device was gone";

        server->restart();
        const auto answers = Clock::now();
        testsupport::MonitorRecording recording(*server);
        const auto back = Clock::now(); // its fresh null sink runs
        player.expectBeatsGoOnFor(300ms);
        const std::size_t underruns = server->underruns();
        player.expectBeatsGoOnFor(2700ms);
        Recovery result{std::make_unique<Heard>(recording.stop(), Clock::now())};
        result.underrunsAfter = server->underruns() - underruns;

        EXPECT_TRUE(player.sound->outputAvailable());
        EXPECT_EQ(player.device->reopenCount(), 1U);
        EXPECT_GT(player.sound->mixer()->resyncs(), resyncs);
        EXPECT_LT(player.slowestPlay.load(), Clock::duration(50ms).count()) << "beat thread waited";
        EXPECT_GE(result.heard->onsets.size(), 10U) << "clicks after the server came back";
        if (!result.heard->onsets.empty()) {
            result.firstAfter = result.heard->timeOf(0) - back;
        }
        std::cout << "lost noticed after " << ms(noticed) << " ms; the new server's sink ran "
                  << ms(back - answers) << " ms after it answered, the first click "
                  << ms(result.firstAfter) << " ms later\n";
        return result;
    });
    EXPECT_LT(recovery.firstAfter, kRecovery);
    // The monitor may cut the first sound of a new stream: the grid is timed from the second.
    recovery.heard->expectOnGridFrom(1);
}

// Frozen, the server holds the device's thread; resumed, the same stream goes on.
TEST(ServerFaults, FrozenServerHoldsNothingUpAndTheClicksResumeOnTheGrid) {
    const auto server = startServer();
    if (!server) {
        GTEST_SKIP() << "no PulseAudio";
    }
    const Recovery recovery = untilNoUnderrun([&] {
        Player player;
        testsupport::MonitorRecording recording(*server);
        player.start();
        std::this_thread::sleep_for(1500ms);

        server->freeze();
        const auto noticed = player.waitForAvailable(false, 1s);
        EXPECT_FALSE(player.sound->outputAvailable()) << "a frozen device reported as playing";
        player.expectBeatsGoOnFor(2500ms);
        server->thaw();
        const auto back = Clock::now();
        player.expectBeatsGoOnFor(300ms);
        const std::size_t underruns = server->underruns();
        player.expectBeatsGoOnFor(2700ms);
        Recovery result{std::make_unique<Heard>(recording.stop(), Clock::now())};
        result.underrunsAfter = server->underruns() - underruns;

        EXPECT_TRUE(player.sound->outputAvailable());
        EXPECT_EQ(player.device->reopenCount(), 0U) << "a frozen server is waited for, not left";
        EXPECT_GE(player.sound->mixer()->resyncs(), 1U);
        EXPECT_LT(player.slowestPlay.load(), Clock::duration(50ms).count()) << "beat thread waited";
        // The freeze is the longest silence; no click may come sooner than a period after
        // another (a beat left over from the freeze), and ten or more follow. (The monitor may
        // cut the first sound of the stream, so the first interval can be short.)
        const auto& onsets = result.heard->onsets;
        std::int64_t longest = 0;
        for (std::size_t i = 1; i < onsets.size(); ++i) {
            EXPECT_TRUE(i == 1 || onsets[i] - onsets[i - 1] >= kPeriodFrames - 1) << "click " << i;
            if (onsets[i] - onsets[i - 1] > longest) {
                longest = onsets[i] - onsets[i - 1];
                result.first = i;
            }
        }
        EXPECT_GE(onsets.size() - result.first, 10U) << "clicks after the server resumed";
        if (result.first > 0) {
            result.firstAfter = result.heard->timeOf(result.first) - back;
        }
        std::cout << "frozen noticed after " << ms(noticed) << " ms; the first click "
                  << ms(result.firstAfter) << " ms after the server resumed\n";
        return result;
    });
    ASSERT_GT(recovery.first, 0U);
    EXPECT_LT(recovery.firstAfter, kRecovery);
    recovery.heard->expectOnGridFrom(recovery.first);
}

} // namespace
} // namespace metro::sound
