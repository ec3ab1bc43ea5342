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

#include "ChildProcess.h"
#include "Onsets.h"
#include "PipeWireServer.h"
#include "PulseServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace metro::sound {
namespace {

using namespace std::chrono_literals;
using testsupport::SoundServer;
using Clock = core::Clock;

constexpr std::int32_t kPeriodMs = 150;
constexpr std::int64_t kPeriodFrames = 7200; // 150 ms at 48 kHz

enum class Server {
    PulseAudio,
    PipeWirePulse,
    PipeWire,
    PipeWireLargeCycles,
    PipeWirePulseLargeCycles
};

void PrintTo(Server server, std::ostream* out) {
    constexpr const char* kNames[] = {"PulseAudio", "PipeWirePulse", "PipeWire",
                                      "PipeWireLargeCycles", "PipeWirePulseLargeCycles"};
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
    case Server::PipeWireLargeCycles:
    case Server::PipeWirePulseLargeCycles: {
        // A desktop that raised the graph's quantum: SDL gets one buffer per longer cycle, and
        // the pulse server reports its reads in steps of a cycle.
        const bool native = server == Server::PipeWireLargeCycles;
        auto pipewire = std::make_unique<PipeWireServer>(
            native ? PipeWireServer::Route::Native : PipeWireServer::Route::PulseAudio, 48000);
        if (testsupport::RunProgram({"pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                                     native ? "1024" : "2048"},
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
        event = timer.setEvent(
            kPeriodMs,
            [this](const core::TimerCall& call) {
                // A late wake-up of 0..8 ms, different on each beat: the click must not move.
                std::this_thread::sleep_for(std::chrono::milliseconds(call.index * 5 % 9));
                const auto before = Clock::now();
                sound->play({.slot = static_cast<int>(call.index - 1) % 4 + 1,
                             .scheduled = call.scheduled,
                             .run = 1});
                slowestPlay = std::max(slowestPlay.load(), Clock::now() - before);
                lastDue = call.scheduled;
                ++beats;
            },
            sound->cueAhead());
    }
    /// Stops once every beat handed over is due, so that each of them sounds.
    void stop() {
        timer.killEvent(event);
        event = 0;
        std::this_thread::sleep_until(lastDue.load());
        sound->runChanged(false);
    }
    /// Stops, lets the last click play out, and returns what the recording heard.
    struct Heard finish(testsupport::MonitorRecording& recording);
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
    std::atomic<Clock::time_point> lastDue{};
};

/// A recording, stopped: its onsets and their intervals, with the time each reached the sink
/// counted from the recording's first frame (it runs without a break from its first sound).
struct Heard {
    explicit Heard(testsupport::MonitorRecording& recording)
        : onsets(testsupport::FindOnsets(recording.stop(), 2)), start(recording.firstFrame()) {
        for (std::size_t i = 1; i < onsets.size(); ++i) {
            intervals.push_back(onsets[i] - onsets[i - 1]);
        }
    }
    Clock::time_point timeOf(std::size_t i) const {
        return start + std::chrono::nanoseconds(onsets.at(i) * 1'000'000'000 / 48000);
    }
    /// The intervals that are not exactly one period.
    std::vector<std::int64_t> irregular() const {
        std::vector<std::int64_t> off;
        std::copy_if(intervals.begin(), intervals.end(), std::back_inserter(off),
                     [](std::int64_t interval) { return interval != kPeriodFrames; });
        return off;
    }
    /// The same with intervals [from, to) left out: those a server's own catching up made.
    Heard without(std::size_t from, std::size_t to) const {
        Heard rest = *this;
        to = std::min(to, intervals.size());
        const auto at = [&](std::size_t i) {
            return rest.intervals.begin() + static_cast<std::ptrdiff_t>(i);
        };
        rest.intervals.erase(at(std::min(from, to)), at(to));
        return rest;
    }
    std::vector<std::int64_t> onsets;
    std::vector<std::int64_t> intervals;
    Clock::time_point start;
};

Heard Player::finish(testsupport::MonitorRecording& recording) {
    stop();
    std::this_thread::sleep_for(sound->outputLatency() + 300ms);
    return Heard(recording);
}

double Ms(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

// The measurements stand on the onset finder: each burst found at its first loud frame, and a
// sound that follows too soon after another counted as part of it.
TEST(Onsets, FoundAtEachBurstsFirstFrame) {
    std::vector<float> stereo(2 * 20000, 0.0F);
    for (const std::size_t start : {0U, 5000U, 6000U, 12201U}) {
        for (std::size_t i = 0; i < 300; ++i) {
            stereo[2 * (start + i) + 1] = (i % 2 == 0 ? 1.0F : -1.0F) / static_cast<float>(i + 1);
        }
    }
    EXPECT_EQ(testsupport::FindOnsets(stereo, 2), (std::vector<std::int64_t>{0, 5000, 12201}));
}

// With no sound server to reach and no other device, the program's output fails to open at
// once, with a reason, and leaves the service closed.
TEST(EngineSoundService, ReportsADeviceThatCannotOpen) {
    setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
    setenv("PULSE_SERVER", "unix:/nonexistent/metro-no-server", 1);
    EngineSoundService service(std::make_unique<FallbackOutput>(std::make_unique<PulseOutput>(),
                                                                std::make_unique<DeviceOutput>()));
    try {
        service.open();
        FAIL() << "opened a device with no sound server";
    } catch (const SoundError& error) {
        const std::regex withReason("Cannot (start|open) the sound (system|device): .+");
        EXPECT_TRUE(std::regex_match(error.what(), withReason)) << error.what();
    }
    EXPECT_EQ(service.mixer(), nullptr);
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
    bool pulse() const {
        return GetParam() == Server::PulseAudio || GetParam() == Server::PipeWirePulse ||
               GetParam() == Server::PipeWirePulseLargeCycles;
    }

    std::unique_ptr<SoundServer> server;
};

/// What a run heard: the clicks, what the mixer did and what the server logged.
std::string Report(const Player& player, const SoundServer& server, const Heard& heard) {
    const Mixer& mixer = *player.sound->mixer();
    std::ostringstream text;
    text << player.beats << " beats, " << heard.onsets.size() << " clicks; " << mixer.skippedCues()
         << " skipped, " << mixer.gridCorrections() << " grid corrections, " << mixer.resyncs()
         << " resyncs, " << server.underruns() << " underruns logged; intervals off:";
    for (std::size_t i = 0; i < heard.intervals.size(); ++i) {
        if (heard.intervals[i] != kPeriodFrames) {
            text << " " << heard.intervals[i] << "@" << i;
        }
    }
    return text.str();
}

/// Every interval is one period, but those across a disturbance, which may only be longer: one
/// for each the test made or the server logged.
void ExpectOnGrid(const Heard& heard, std::size_t disturbances) {
    const auto off = heard.irregular();
    EXPECT_LE(off.size(), disturbances) << "a shift with no disturbance";
    for (const std::int64_t interval : off) {
        EXPECT_GT(interval, kPeriodFrames) << "a click came sooner than the period";
    }
}

/// A server whose graph ran late (it logged an underrun) may lose a piece of what it plays or
/// records, which shows as an interval shorter than the period: then the case runs once more.
bool ServerLostAPiece(const Heard& heard, std::size_t underruns) {
    const auto off = heard.irregular();
    return underruns > 0 &&
           std::any_of(off.begin(), off.end(), [](auto i) { return i < kPeriodFrames; });
}

// Started as soon as the server answers, as at login: the server may hold the new stream a
// while, but every click heard is exactly one period after the last, the first one included,
// and the first comes a period and the lead after Start, or as soon as the stream plays.
TEST_P(RealDevice, PlaysEveryClickExactlyOnItsFrameFromAFreshServer) {
    for (int attempt = 1;; ++attempt) {
        Player player(pulse());
        player.start();
        testsupport::MonitorRecording recording(*server);
        // Through SDL on a graph of longer cycles the beat waits till the cycle is timed and
        // the stream reopened to match it, about 2.5 s: the recording runs on past that.
        const bool largeCycles = GetParam() == Server::PipeWireLargeCycles;
        std::this_thread::sleep_for((largeCycles ? 35 : 20) * 150ms + 100ms);
        const Heard heard = player.finish(recording);
        const auto firstAfter = heard.onsets.empty() ? 0ms : heard.timeOf(0) - player.started;
        std::cout << Report(player, *server, heard) << "; the first " << Ms(firstAfter)
                  << " ms after Start\n";
        if (attempt == 1 && ServerLostAPiece(heard, server->underruns())) {
            player.sound->close();
            server.reset();
            SetUp();
            continue;
        }
        if (pulse()) {
            std::this_thread::sleep_for(400ms);
            EXPECT_TRUE(dynamic_cast<PulseOutput&>(*player.device).corked())
                << "the stream still runs once stopped and silent";
        }
        EXPECT_GE(heard.onsets.size(), 5U);
        ExpectOnGrid(heard, server->underruns());
        return;
    }
}

/// Moves the one playing stream to `sink`, as the desktop does when headphones are plugged in;
/// asks again while the server has not done it (PipeWire's session manager can be slow to).
void MoveStream(const SoundServer& server, const std::string& sink) {
    std::string sinks;
    ASSERT_EQ(server.pactl({"list", "short", "sinks"}, &sinks), 0);
    const std::size_t line = sinks.find("\t" + sink + "\t");
    ASSERT_NE(line, std::string::npos) << sinks;
    const std::string index =
        sinks.substr(sinks.rfind('\n', line) + 1, line - sinks.rfind('\n', line) - 1);
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::string inputs;
        ASSERT_EQ(server.pactl({"list", "short", "sink-inputs"}, &inputs), 0);
        const std::size_t tab = inputs.find('\t');
        if (inputs.substr(tab + 1, inputs.find('\t', tab + 1) - tab - 1) == index) {
            return;
        }
        server.pactl({"move-sink-input", inputs.substr(0, tab), sink});
        std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the stream did not move to " << sink;
}

/// The disturbances a server reports through libpulse, which the program's output follows.
/// (SDL2, the fallback where no pulse server answers, hears of none of them.)
class ServerEvents : public RealDevice {};

// The stream moved to another device mid-run (headphones plugged in) and back, then the server
// frozen for 100 ms (a machine too busy to run it), so that the stream runs dry once. The beat
// goes on on the other device within a period and the switch, on a grid of its own; back here
// on this one's, each disturbance moving it later at most once, never sooner, and the silence
// setting no rate: the clicks after it are a period apart again. As above, a server that lost a
// piece of the sound runs the case once more.
TEST_P(ServerEvents, GoesOnWhenMovedAndWhenTheStreamRunsDry) {
    for (int attempt = 1;; ++attempt) {
        server->addSink("other");
        Player player(pulse());
        testsupport::MonitorRecording here(*server);
        testsupport::MonitorRecording there(*server, "other");
        player.start();
        std::this_thread::sleep_for(1500ms);
        MoveStream(*server, "other");
        const auto moved = Clock::now(); // the server has switched
        // By then the first click there has sounded: the underruns of the switch are past.
        std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs) + 300ms);
        const std::size_t underrunsBeforeThere = server->underruns();
        std::this_thread::sleep_for(1550ms);
        const std::size_t underrunsThere = server->underruns() - underrunsBeforeThere;
        MoveStream(*server, "out");
        std::this_thread::sleep_for(1500ms);
        const auto frozeAt = Clock::now();
        server->freeze();
        std::this_thread::sleep_for(100ms);
        server->thaw();
        std::this_thread::sleep_for(2500ms);
        const Heard back = player.finish(here);
        const Heard away(there);
        const auto firstThere = away.onsets.empty() ? 0ms : away.timeOf(0) - moved;
        std::cout << Report(player, *server, back)
                  << "; on the other device: " << away.onsets.size() << " clicks, the first "
                  << Ms(firstThere) << " ms after the move, " << away.irregular().size()
                  << " intervals off\n";
        // A frozen server plays what it held as it likes once it runs again (a silence, a skip
        // of some of it, or both, or nothing heard): the two intervals from the first one off
        // near the freeze are its own. (The recording places clicks within a beat or two.)
        const auto& intervals = back.intervals;
        std::size_t near = 0;
        while (near < back.onsets.size() && back.timeOf(near) < frozeAt) {
            ++near;
        }
        const std::size_t last = std::min(near + 3, intervals.size());
        std::size_t frozen = near > 3 ? near - 3 : 0;
        while (frozen < last && intervals[frozen] == kPeriodFrames) {
            ++frozen;
        }
        const std::size_t after = frozen == last ? near : frozen + 2;
        const Heard settled = frozen == last ? back : back.without(frozen, after);
        if (attempt == 1 && (ServerLostAPiece(away, underrunsThere) ||
                             ServerLostAPiece(settled, server->underruns()))) {
            player.sound->close();
            server.reset();
            SetUp();
            continue;
        }
        EXPECT_GE(away.onsets.size(), 8U);
        EXPECT_LT(firstThere, std::chrono::milliseconds(kPeriodMs) + 300ms);
        ExpectOnGrid(away, underrunsThere);
        ASSERT_GE(back.onsets.size(), 30U);
        EXPECT_GE(back.irregular().size(), 1U);
        ExpectOnGrid(settled, 1 + server->underruns());
        EXPECT_GE(std::count(intervals.begin() +
                                 static_cast<std::ptrdiff_t>(std::min(after, intervals.size())),
                             intervals.end(), kPeriodFrames),
                  10)
            << "the rate is off";
        return;
    }
}

// PulseAudio killed and started again, then frozen for seconds: nothing counts as played while
// the server is gone or frozen, the beat thread never waits for it, the output finds the server
// again by itself, and the clicks come back on a grid of the period, never sooner.
class OnPulseAudio : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        try {
            server = std::make_unique<testsupport::PulseServer>(48000);
        } catch (const testsupport::ServerUnavailable& error) {
            GTEST_SKIP() << "PulseAudio cannot start here: " << error.what();
        }
        server->exportToThisProcess();
    }
    std::unique_ptr<testsupport::PulseServer> server;
};
using ServerFaults = OnPulseAudio;
using SaturatedMachine = OnPulseAudio;

/// How often the output opened its stream again after losing it.
std::uint64_t Reopens(const AudioOutput* output) {
    const auto* pulse = dynamic_cast<const PulseOutput*>(output);
    return pulse ? pulse->reconnects() : dynamic_cast<const DeviceOutput&>(*output).reopenCount();
}

// Through libpulse, and through SDL2 (the fallback, on its PulseAudio driver here). At the end
// the server freezes once more and the output closes without waiting for it more than a second.
TEST_P(ServerFaults, KilledThenFrozenTheBeatWaitsForNothingAndComesBackOnItsGrid) {
    Player player(GetParam());
    // SDL2 hears of the server only through its callbacks: a server that runs late again as it
    // recovers (it logs underruns) stalls them once more, and each stall costs the clock map
    // half a second to lock again. Its recordings run a second longer.
    const auto recovery = GetParam() ? 3s : 4s;
    player.start();
    EXPECT_TRUE(player.sound->outputAvailable());
    std::this_thread::sleep_for(1s);

    server->kill();
    const auto noticed = player.waitForAvailable(false, 1s);
    EXPECT_FALSE(player.sound->outputAvailable()) << "a dead server reported as playing";
    std::this_thread::sleep_for(1s);
    EXPECT_GT(player.sound->droppedWithoutOutput(), 4U) << "beats while the server was gone";
    server->restart();
    const auto answers = Clock::now();
    testsupport::MonitorRecording recording(*server);
    const auto sinkRuns = Clock::now();
    std::this_thread::sleep_for(recovery);
    {
        const Heard heard(recording);
        const auto firstAfter = heard.onsets.empty() ? 0ms : heard.timeOf(0) - sinkRuns;
        std::cout << "killed: noticed after " << Ms(noticed) << " ms; the new server's sink ran "
                  << Ms(sinkRuns - answers) << " ms after it answered, the first click "
                  << Ms(firstAfter) << " ms later; " << Report(player, *server, heard) << "\n";
        EXPECT_EQ(Reopens(player.device), 1U);
        EXPECT_TRUE(player.sound->outputAvailable());
        EXPECT_LT(firstAfter, 1500ms);
        EXPECT_GE(heard.onsets.size(), 12U) << "clicks after the server came back";
        ExpectOnGrid(heard, server->underruns());
    }

    testsupport::MonitorRecording again(*server);
    std::this_thread::sleep_for(1s);
    server->freeze();
    const auto frozen = player.waitForAvailable(false, 1s);
    EXPECT_FALSE(player.sound->outputAvailable()) << "a frozen server reported as playing";
    std::this_thread::sleep_for(2500ms);
    server->thaw();
    std::this_thread::sleep_for(recovery);
    const Heard heard(again);
    std::cout << "frozen: noticed after " << Ms(frozen) << " ms; " << Report(player, *server, heard)
              << "\n";
    EXPECT_TRUE(player.sound->outputAvailable());
    EXPECT_EQ(Reopens(player.device), 1U) << "a frozen server is waited for, not left";
    EXPECT_LT(player.slowestPlay.load(), 50ms) << "the beat thread waited for the server";
    // The freeze is one long silence, then at least ten clicks on the grid. (What the server
    // held as it froze it plays after it as it likes, cut or hurried, on the grid before the
    // freeze: the intervals up to the first click placed after it are its own. Through libpulse
    // it holds 240 ms, two clicks.)
    ASSERT_GE(heard.intervals.size(), 15U);
    const auto longest = static_cast<std::size_t>(
        std::max_element(heard.intervals.begin(), heard.intervals.end()) - heard.intervals.begin());
    EXPECT_GE(heard.intervals.size() - longest, 10U);
    ExpectOnGrid(heard.without(0, longest + (GetParam() ? 3 : 2)), server->underruns());

    player.stop();
    server->freeze();
    const auto closing = Clock::now();
    player.sound->close();
    EXPECT_LT(Clock::now() - closing, 1500ms) << "closing waited for a frozen server";
    server->thaw();
}

// The beat on a machine whose cores are all busy with normal-priority work: the transport, the
// beat timer and the sound service at 400 BPM for 20 s, not one beat lost or off its frame.
TEST_P(SaturatedMachine, EveryBeatAt400BpmWithEveryCoreBusy) {
    Player player(true);
    testsupport::MonitorRecording recording(*server);
    auto hogs =
        std::make_unique<testsupport::BusyLoops>(std::max(2U, std::thread::hardware_concurrency()));
    player.start();
    std::this_thread::sleep_for(20s);
    hogs.reset();
    const Heard heard = player.finish(recording);
    std::cout << Report(player, *server, heard) << "; " << player.timer.droppedCalls()
              << " dropped ticks\n";
    EXPECT_EQ(player.timer.droppedCalls(), 0);
    EXPECT_EQ(heard.onsets.size(), static_cast<std::size_t>(player.beats.load()));
    ExpectOnGrid(heard, server->underruns());
}

INSTANTIATE_TEST_SUITE_P(Servers, RealDevice,
                         testing::Values(Server::PulseAudio, Server::PipeWirePulse,
                                         Server::PipeWire, Server::PipeWireLargeCycles,
                                         Server::PipeWirePulseLargeCycles),
                         testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(PulseAudio, ServerFaults, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& run) {
                             return run.param ? "libpulse" : "SDL2";
                         });
INSTANTIATE_TEST_SUITE_P(PulseAudio, SaturatedMachine, testing::Values(true),
                         [](const auto&) { return "libpulse"; });
INSTANTIATE_TEST_SUITE_P(Servers, ServerEvents,
                         testing::Values(Server::PulseAudio, Server::PipeWirePulse),
                         testing::PrintToStringParamName());

} // namespace
} // namespace metro::sound
