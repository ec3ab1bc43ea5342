// Onsets on a real sound server: plays a click per beat through SDL2 into a private PulseAudio
// null sink, records the sink's monitor, finds every onset to the frame and measures how
// straight the grid is. Each run measures the product's exact placement and, as a baseline,
// the naive placement (each voice starts at the next buffer).
//
// Usage: onset_bench --rate HZ --bpm BPM [--seconds S] [--preroll S] [--load N]
//   --load N keeps N busy-loop processes at normal priority running beside it.
// Prints one Markdown table row per placement.

#include "metro/core/PeriodicTimer.h"
#include "metro/core/TempoRule.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/PulseOutput.h"
#include "metro/sound/VoiceBank.h"

#include "ChildProcess.h"
#include "GridFit.h"
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
    double preroll = 3.0; // seconds the stream runs before the first beat, as in the program
    int load = 0;         // busy-loop processes beside the benchmark
};

/// The device's own frame rate against the monotonic clock, from its callback times: an output
/// that passes everything to the real device and notes (frames so far, time) at each callback.
class TimedOutput final : public sound::AudioOutput, private sound::AudioSource {
public:
    TimedOutput() { m_log.resize(kMaxCallbacks); }

    void open(sound::AudioSource& source) override {
        m_source = &source;
        m_count = 0;
        m_frames = 0;
        m_device.open(*this);
        m_rate = m_device.sampleRate();
    }
    void close() override { m_device.close(); }
    int sampleRate() const override { return m_device.sampleRate(); }
    std::size_t bufferFrames() const override { return m_device.bufferFrames(); }
    core::Clock::duration placementLead() const override { return m_device.placementLead(); }
    core::Clock::duration cueAhead() const override { return m_device.cueAhead(); }
    core::Clock::duration stampToSound() const override { return m_device.stampToSound(); }
    bool exactStamps() const override { return m_device.exactStamps(); }
    void setActive(bool running) override { m_device.setActive(running); }

    /// Frames per monotonic second, fitted by least squares over the callbacks after the
    /// first `skipSeconds`. Call after close().
    double measuredRate(double skipSeconds) const {
        const auto skipFrames = static_cast<std::int64_t>(skipSeconds * m_rate);
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        const core::TimePoint origin = m_log[0].time;
        for (std::size_t i = 0; i < m_count; ++i) {
            if (m_log[i].frames < skipFrames) {
                continue;
            }
            const double x = std::chrono::duration<double>(m_log[i].time - origin).count();
            const auto y = static_cast<double>(m_log[i].frames - skipFrames);
            n += 1;
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
        }
        return (n * sxy - sx * sy) / (n * sxx - sx * sx);
    }

private:
    static constexpr std::size_t kMaxCallbacks = 1 << 17; // 20 min of 10 ms buffers
    struct Callback {
        std::int64_t frames = 0;
        core::TimePoint time{};
    };

    void render(float* out, std::size_t frames, core::TimePoint callbackTime) noexcept override {
        if (m_count < kMaxCallbacks) {
            m_log[m_count++] = {m_frames, callbackTime};
        }
        m_frames += static_cast<std::int64_t>(frames);
        m_source->render(out, frames, callbackTime);
    }

    sound::PulseOutput m_device;
    sound::AudioSource* m_source = nullptr;
    std::vector<Callback> m_log;
    std::size_t m_count = 0;
    std::int64_t m_frames = 0;
    int m_rate = 0;
};

struct Run {
    double deviceRate = 0.0; // frames per monotonic second
    std::vector<float> recording;
    std::int64_t beats = 0;
    std::uint64_t lateStarts = 0;
    std::uint64_t corrections = 0;
    std::size_t underruns = 0;
};

/// Plays `beats` clicks a period apart, all four voices at full level, while the monitor
/// records.
Run play(const testsupport::PulseServer& server, sound::Mixer::Placement placement,
         std::int32_t periodMs, std::int64_t beats, double preroll) {
    auto output = std::make_unique<TimedOutput>();
    TimedOutput& timed = *output;
    sound::EngineSoundService sound(std::move(output), placement);
    sound.open();
    if (sound.sampleRate() != server.sinkRate()) {
        throw std::runtime_error("the device opened at " + std::to_string(sound.sampleRate()) +
                                 " Hz, not at the sink's rate");
    }
    sound::VoiceBank bank(sound);
    bank.SETIT();
    sound.runChanged(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(preroll));
    testsupport::MonitorRecording recording(server);

    core::PeriodicTimer timer;
    std::atomic<std::int64_t> played{0};
    const std::int32_t event = timer.setEvent(
        periodMs,
        [&](const core::TimerCall& call) {
            if (played.load() < beats) {
                sound.play({.slot = static_cast<int>((call.index - 1) % 4) + 1,
                            .scheduled = call.scheduled,
                            .run = 1});
                ++played;
            }
        },
        sound.cueAhead());
    while (played.load() < beats) {
        std::this_thread::sleep_for(20ms);
    }
    timer.killEvent(event);
    std::this_thread::sleep_for(sound.outputLatency() + 500ms);
    Run run;
    run.recording = recording.stop();
    run.underruns = recording.playbackUnderruns();
    run.beats = played.load();
    run.lateStarts = sound.mixer()->lateStarts();
    run.corrections = sound.mixer()->gridCorrections();
    sound.close();
    run.deviceRate = timed.measuredRate(1.0);
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
    const double periodSeconds = periodMs / 1000.0;
    const double periodFrames = periodSeconds * options.rate;
    const auto onsets = testsupport::FindOnsets(run.recording, 2);
    const auto match = bench::MatchBeats(onsets, periodFrames);
    const double microsPerFrame = 1e6 / options.rate;
    const auto beats = static_cast<std::size_t>(run.beats);
    const std::size_t heard = onsets.size() - match.extra;
    const std::size_t missing = heard < beats ? beats - heard : 0;
    const std::size_t extra = match.extra + (heard > beats ? heard - beats : 0);
    std::printf("| %d | %d | %s | %zu | %zu | %zu | %zu | %llu | %llu | %zu |", options.rate,
                options.bpm, mode, beats, onsets.size(), missing, extra,
                static_cast<unsigned long long>(run.lateStarts),
                static_cast<unsigned long long>(run.corrections), run.underruns);
    const double devicePpm = (run.deviceRate / options.rate - 1.0) * 1e6;
    if (onsets.size() < 2) {
        std::printf(" – | – | – | – | %+.1f | – | – |\n", devicePpm);
        return;
    }
    // The straight line through the onsets, and the grid of exactly one nominal period. The
    // tempo is measured in the device's frames, and against the monotonic clock through the
    // device's rate as its callbacks show it.
    const auto fit = bench::FitGrid(onsets, match.beats);
    const auto fixed = bench::FitGridWithPeriod(onsets, match.beats, periodFrames);
    const double tempoPpm = (fit.period / periodFrames - 1.0) * 1e6;
    const double driftPpm = (fit.period / run.deviceRate / periodSeconds - 1.0) * 1e6;
    std::printf(" %.1f | %.1f | %.1f | %+.2f | %+.1f | %+.1f | %s |\n",
                fit.residualStd * microsPerFrame, fit.residualMax * microsPerFrame,
                fixed.residualMax * microsPerFrame, tempoPpm, devicePpm, driftPpm,
                histogramText(bench::IntervalHistogram(onsets)).c_str());
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
        } else if (name == "--preroll") {
            options.preroll = std::atof(value);
        } else if (name == "--load") {
            options.load = std::atoi(value);
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
        const testsupport::BusyLoops hogs(static_cast<unsigned>(options.load));
        report(options, "exact", *periodMs,
               play(server, sound::Mixer::Placement::Exact, *periodMs, beats, options.preroll));
        report(
            options, "naive", *periodMs,
            play(server, sound::Mixer::Placement::NextBuffer, *periodMs, beats, options.preroll));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "onset_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
