// Onsets on a real sound server: plays a click per beat through SDL2 into a private PulseAudio
// null sink, records the sink's monitor, finds every onset to the frame and measures how
// straight the grid is. Each run measures the product's exact placement and, as a baseline,
// the naive placement (each voice starts at the next buffer).
//
// Usage: onset_bench --rate HZ --bpm BPM [--seconds S]
// Prints one Markdown table row per placement.

#include "metro/core/PeriodicTimer.h"
#include "metro/core/TempoRule.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/VoiceBank.h"

#include "Onsets.h"
#include "PulseServer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace metro;
using namespace std::chrono_literals;

struct Options {
    int rate = 48000;
    int bpm = 120;
    double seconds = 60.0;
};

struct Run {
    std::vector<float> recording;
    std::int64_t beats = 0;
    std::uint64_t lateStarts = 0;
    std::uint64_t corrections = 0;
};

/// Plays `beats` clicks a period apart, all four voices at full level, while the monitor
/// records.
Run play(const testsupport::PulseServer& server, sound::Mixer::Placement placement,
         std::int32_t periodMs, std::int64_t beats) {
    sound::EngineSoundService sound(std::make_unique<sound::DeviceOutput>(), placement);
    sound.open();
    if (sound.sampleRate() != server.sinkRate()) {
        throw std::runtime_error("the device opened at " + std::to_string(sound.sampleRate()) +
                                 " Hz, not at the sink's rate");
    }
    sound::VoiceBank bank(sound);
    bank.SETIT();
    testsupport::MonitorRecording recording(server);
    std::this_thread::sleep_for(500ms);

    core::PeriodicTimer timer;
    std::atomic<std::int64_t> played{0};
    const std::int32_t event = timer.setEvent(periodMs, [&](const core::TimerCall& call) {
        if (played.load() < beats) {
            sound.play({.slot = static_cast<int>((call.index - 1) % 4) + 1,
                        .scheduled = call.scheduled,
                        .run = 1});
            ++played;
        }
    });
    while (played.load() < beats) {
        std::this_thread::sleep_for(20ms);
    }
    timer.killEvent(event);
    std::this_thread::sleep_for(sound.outputLatency() + 500ms);
    Run run;
    run.recording = recording.stop();
    run.beats = played.load();
    run.lateStarts = sound.mixer()->lateStarts();
    run.corrections = sound.mixer()->gridCorrections();
    sound.close();
    return run;
}

/// The most common intervals, "frames×count", and how many distinct ones there were.
std::string histogramText(const std::map<std::int64_t, std::size_t>& histogram) {
    std::vector<std::pair<std::size_t, std::int64_t>> byCount;
    for (const auto& [interval, count] : histogram) {
        byCount.emplace_back(count, interval);
    }
    std::sort(byCount.rbegin(), byCount.rend());
    std::ostringstream text;
    for (std::size_t i = 0; i < byCount.size() && i < 4; ++i) {
        text << (i > 0 ? ", " : "") << byCount[i].second << "×" << byCount[i].first;
    }
    if (byCount.size() > 4) {
        text << " … (" << byCount.size() << " distinct)";
    }
    return text.str();
}

void report(const Options& options, const char* mode, std::int32_t periodMs, const Run& run) {
    const double periodFrames = periodMs * options.rate / 1000.0;
    const auto onsets = testsupport::FindOnsets(run.recording, 2);
    const auto match = testsupport::MatchBeats(onsets, periodFrames);
    const double microsPerFrame = 1e6 / options.rate;
    const auto beats = static_cast<std::size_t>(run.beats);
    const std::size_t heard = onsets.size() - match.extra;
    const std::size_t missing = heard < beats ? beats - heard : 0;
    const std::size_t extra = match.extra + (heard > beats ? heard - beats : 0);
    if (onsets.size() < 2) {
        std::printf("| %d | %d | %s | %zu | %zu | %zu | %zu | %llu | %llu | – | – | – | – | – |\n",
                    options.rate, options.bpm, mode, beats, onsets.size(), missing, extra,
                    static_cast<unsigned long long>(run.lateStarts),
                    static_cast<unsigned long long>(run.corrections));
        return;
    }
    const auto fit = testsupport::FitGrid(onsets, match.beats);
    const auto nominal = testsupport::FitGridWithPeriod(onsets, match.beats, periodFrames);
    const double driftPpm = (fit.period / periodFrames - 1.0) * 1e6;
    std::printf("| %d | %d | %s | %zu | %zu | %zu | %zu | %llu | %llu | %.1f | %.1f | %.1f | %+.2f "
                "| %s |\n",
                options.rate, options.bpm, mode, beats, onsets.size(), missing, extra,
                static_cast<unsigned long long>(run.lateStarts),
                static_cast<unsigned long long>(run.corrections), fit.residualStd * microsPerFrame,
                fit.residualMax * microsPerFrame, nominal.residualMax * microsPerFrame, driftPpm,
                histogramText(testsupport::IntervalHistogram(onsets)).c_str());
    std::fflush(stdout);
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name(argv[i]);
        const char* value = argv[i + 1];
        if (name == "--rate") {
            options.rate = std::atoi(value);
        } else if (name == "--bpm") {
            options.bpm = std::atoi(value);
        } else if (name == "--seconds") {
            options.seconds = std::atof(value);
        } else {
            throw std::runtime_error("unknown option " + std::string(name));
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        const auto periodMs = core::PeriodFromTempo(std::to_string(options.bpm));
        if (!periodMs) {
            throw std::runtime_error("no period for tempo " + std::to_string(options.bpm));
        }
        const auto beats = static_cast<std::int64_t>(options.seconds * 1000.0 / *periodMs);
        testsupport::PulseServer server(options.rate);
        server.exportToThisProcess();
        report(options, "exact", *periodMs,
               play(server, sound::Mixer::Placement::Exact, *periodMs, beats));
        report(options, "naive", *periodMs,
               play(server, sound::Mixer::Placement::NextBuffer, *periodMs, beats));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "onset_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
