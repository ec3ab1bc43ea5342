// Soak: the program's beat path (transport, periodic timer, sound service, the program's output)
// runs at one tempo for a long time into a private sound server's null sink while parec records
// its monitor. Reports when the first click came after Start, the onset residual against a
// straight grid, missing and extra beats, late starts, underruns, and this process's resident
// memory after warm-up and at the end.
//
// Usage: soak_bench [--minutes M] [--bpm BPM] [--rate HZ] [--load N] [--server pulseaudio|pipewire]
//   --load N runs N busy-loop processes at normal priority beside it; --server pipewire runs
//   PipeWire with its pulse server (the program reaches it through libpulse).
// Prints a progress line a minute on stderr and one Markdown table row on stdout.

#include "metro/core/PeriodicTimer.h"
#include "metro/core/TempoRule.h"
#include "metro/core/Transport.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/FallbackOutput.h"
#include "metro/sound/PulseOutput.h"
#include "metro/sound/VoiceBank.h"

#include "ChildProcess.h"
#include "Fakes.h"
#include "GridFit.h"
#include "PipeWireServer.h"
#include "PulseServer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace metro;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Options {
    double minutes = 60.0;
    int bpm = 400;
    int rate = 48000;
    int load = 0;
    bool pipewire = false;
};

// Passes every beat on to the sound service and counts it; the lamps go nowhere.
struct CountingPlayer final : core::BeatPlayer, core::BeatDisplay {
    explicit CountingPlayer(core::BeatPlayer& output) : sound(output) {}
    void play(const core::BeatCue& cue) noexcept override {
        sound.play(cue);
        // Beats go to the sound ahead of their time; one due after the stop is dropped unheard.
        if (cue.scheduled <= until.load(std::memory_order_relaxed)) {
            beats.fetch_add(1, std::memory_order_relaxed);
        }
    }
    void runChanged(bool running) override { sound.runChanged(running); }
    core::Clock::duration cueAhead() const override { return sound.cueAhead(); }
    void showBeat(std::uint64_t, const std::array<bool, core::kBeatCount>&,
                  core::TimePoint) noexcept override {}
    core::BeatPlayer& sound;
    std::atomic<std::int64_t> beats{0};
    std::atomic<core::TimePoint> until{core::TimePoint::max()};
};

/// VmRSS of this process in kB.
double residentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6));
        }
    }
    return -1.0;
}

/// Onsets in a mono float recording too long to hold in memory: two passes over the file, the
/// first for the peak, the second for the first frame above a tenth of it after 50 ms of quiet.
std::vector<std::int64_t> findOnsetsInFile(const fs::path& file, int rate) {
    std::vector<float> chunk(1 << 20);
    const auto pass = [&](auto&& visit) {
        std::ifstream in(file, std::ios::binary);
        std::int64_t frame = 0;
        while (in) {
            in.read(reinterpret_cast<char*>(chunk.data()),
                    static_cast<std::streamsize>(chunk.size() * sizeof(float)));
            const auto n = static_cast<std::size_t>(in.gcount()) / sizeof(float);
            for (std::size_t i = 0; i < n; ++i) {
                visit(frame++, chunk[i]);
            }
        }
    };
    float peak = 0.0F;
    pass([&](std::int64_t, float x) { peak = std::max(peak, std::abs(x)); });
    std::vector<std::int64_t> onsets;
    const std::int64_t minQuiet = rate / 20;
    std::int64_t quiet = minQuiet;
    pass([&](std::int64_t frame, float x) {
        const bool loud = peak > 0.0F && std::abs(x) > 0.1F * peak;
        if (loud && quiet >= minQuiet) {
            onsets.push_back(frame);
        }
        quiet = loud ? 0 : quiet + 1;
    });
    return onsets;
}

/// Lines of the server's log that tell of recorded sound it could not pass on to parec, whose
/// loss shortens the recording and so looks like missing beats.
std::size_t recordingOverruns(const fs::path& serverLog) {
    std::ifstream in(serverLog);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find("Failed to push data into queue") != std::string::npos ||
                         line.find("q overrun") != std::string::npos
                     ? 1U
                     : 0U;
    }
    return count;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name(argv[i]);
        const char* value = argv[i + 1];
        if (name == "--minutes") {
            options.minutes = std::atof(value);
        } else if (name == "--bpm") {
            options.bpm = std::atoi(value);
        } else if (name == "--rate") {
            options.rate = std::atoi(value);
        } else if (name == "--load") {
            options.load = std::atoi(value);
        } else if (name == "--server") {
            options.pipewire = std::string_view(value) == "pipewire";
        } else {
            throw std::runtime_error("unknown option " + std::string(name));
        }
    }
    if (options.minutes <= 0.0 || options.load < 0) {
        throw std::runtime_error("--minutes must be positive and --load at least 0");
    }
    return options;
}

struct Result {
    std::int64_t beats = 0;
    std::int64_t droppedTicks = 0;
    std::uint64_t lateStarts = 0;
    std::uint64_t corrections = 0;
    std::size_t underruns = 0;
    std::size_t recordingOverruns = 0;
    double rssStartKb = 0.0;
    double rssEndKb = 0.0;
    double firstClickMs = 0.0; // from Start to the first click heard
    std::vector<std::int64_t> onsets;
};

Result soak(const Options& options) {
    std::unique_ptr<testsupport::SoundServer> started;
    if (options.pipewire) {
        started = std::make_unique<testsupport::PipeWireServer>(
            testsupport::PipeWireServer::Route::PulseAudio, options.rate);
    } else {
        started = std::make_unique<testsupport::PulseServer>(options.rate);
    }
    testsupport::SoundServer& server = *started;
    server.exportToThisProcess();
    sound::EngineSoundService sound(std::make_unique<sound::FallbackOutput>(
        std::make_unique<sound::PulseOutput>(), std::make_unique<sound::DeviceOutput>()));
    sound.open();
    sound::VoiceBank bank(sound);
    bank.SETIT(); // every slot at full level, so that each click's onset is the same frame
    std::this_thread::sleep_for(1s); // a user's Start comes a moment after launch

    const fs::path file = server.runtimeDir() / "soak.raw";
    testsupport::ChildProcess parec({"parec", "--device=out.monitor", "--format=float32le",
                                     "--channels=1", "--rate=" + std::to_string(options.rate),
                                     "--latency-msec=100", "--raw", file.string()},
                                    server.clientEnvironment(), server.runtimeDir() / "parec.log");
    testsupport::RecordingStart recordingStart(file, sizeof(float) * options.rate);
    auto hogs = std::make_unique<testsupport::BusyLoops>(static_cast<unsigned>(options.load));
    std::this_thread::sleep_for(1s);
    const std::size_t underrunsBefore = server.underruns();

    core::PeriodicTimer timer;
    CountingPlayer player(sound);
    testsupport::FakeView view(options.bpm);
    core::Transport transport(timer, player, player);
    transport.attachView(view);
    transport.setReady(true);
    transport.setFourFour(true);
    transport.start();
    if (!transport.state().IsRunning) {
        throw std::runtime_error("the transport did not start at " + std::to_string(options.bpm));
    }
    const auto startedAt = std::chrono::steady_clock::now();
    const auto end =
        startedAt + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double, std::ratio<60>>(options.minutes));
    player.until.store(end);
    Result result;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(10s, end - startedAt));
    result.rssStartKb = residentKb();
    for (auto next = startedAt + 1min; next < end; next += 1min) {
        std::this_thread::sleep_until(next);
        std::fprintf(stderr, "soak_bench: %3.0f min, %lld beats, %llu late, rss %.0f kB\n",
                     std::chrono::duration<double, std::ratio<60>>(next - startedAt).count(),
                     static_cast<long long>(player.beats.load()),
                     static_cast<unsigned long long>(sound.mixer()->lateStarts()), residentKb());
    }
    std::this_thread::sleep_until(end);
    result.rssEndKb = residentKb();
    transport.stop();
    for (const auto& message : view.errors) {
        std::fprintf(stderr, "soak_bench: %s\n", message.c_str());
    }
    hogs.reset();
    std::this_thread::sleep_for(sound.outputLatency() + 500ms);
    result.underruns = server.underruns() - underrunsBefore;
    const auto firstFrame = recordingStart.stop();
    parec.stop();
    result.recordingOverruns = recordingOverruns(server.runtimeDir() / "daemon.log");
    result.beats = player.beats.load();
    result.droppedTicks = timer.droppedCalls();
    result.lateStarts = sound.mixer()->lateStarts();
    result.corrections = sound.mixer()->gridCorrections();
    sound.close();
    result.onsets = findOnsetsInFile(file, options.rate);
    if (!result.onsets.empty()) {
        // The recording runs without a break from its first frame.
        result.firstClickMs =
            std::chrono::duration<double, std::milli>(firstFrame - startedAt).count() +
            1000.0 * static_cast<double>(result.onsets[0]) / options.rate;
    }
    return result;
}

void report(const Options& options, const Result& r) {
    const double periodFrames =
        core::PeriodFromTempo(std::to_string(options.bpm)).value_or(0) * options.rate / 1000.0;
    const auto match = bench::MatchBeats(r.onsets, periodFrames);
    const std::size_t heard = r.onsets.size() - match.extra;
    const auto beats = static_cast<std::size_t>(r.beats);
    // Missing: beats played that the recording lacks, and gaps in the grid between its ends.
    const std::size_t span =
        match.beats.empty() ? 0 : static_cast<std::size_t>(match.beats.back()) + 1;
    const std::size_t missing = std::max(beats > heard ? beats - heard : 0, span - heard);
    // Where the grid broke: every interval more than 1 % off the period, with its time.
    for (std::size_t i = 1; i < r.onsets.size(); ++i) {
        const auto interval = static_cast<double>(r.onsets[i] - r.onsets[i - 1]);
        if (std::abs(interval / periodFrames - 1.0) > 0.01) {
            std::fprintf(stderr, "soak_bench: interval of %.0f frames at %.1f s\n", interval,
                         static_cast<double>(r.onsets[i]) / options.rate);
        }
    }
    std::printf(
        "| %s | %g | %d | %d | %d | %.0f | %lld | %zu | %zu | %zu | %lld | %llu | %llu | %zu | "
        "%zu |",
        options.pipewire ? "PipeWire (pulse)" : "PulseAudio", options.minutes, options.rate,
        options.bpm, options.load, r.firstClickMs, static_cast<long long>(r.beats), r.onsets.size(),
        missing, match.extra, static_cast<long long>(r.droppedTicks),
        static_cast<unsigned long long>(r.lateStarts),
        static_cast<unsigned long long>(r.corrections), r.underruns, r.recordingOverruns);
    const double microsPerFrame = 1e6 / options.rate;
    if (r.onsets.size() >= 2) {
        const auto fit = bench::FitGrid(r.onsets, match.beats);
        const auto fixed = bench::FitGridWithPeriod(r.onsets, match.beats, periodFrames);
        const auto histogram = bench::IntervalHistogram(r.onsets);
        const auto exact = histogram.find(std::llround(periodFrames));
        std::printf(" %.1f | %.1f | %.1f | %zu of %zu |", fit.residualStd * microsPerFrame,
                    fit.residualMax * microsPerFrame, fixed.residualMax * microsPerFrame,
                    exact == histogram.end() ? 0 : exact->second, r.onsets.size() - 1);
    } else {
        std::printf(" – | – | – | – |");
    }
    std::printf(" %.1f | %.1f | %+.1f |\n", r.rssStartKb / 1024.0, r.rssEndKb / 1024.0,
                (r.rssEndKb - r.rssStartKb) / 1024.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        report(options, soak(options));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "soak_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
